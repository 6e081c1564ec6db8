// Process-wide state of the module, behind one accessor: `state()`.
//
// The module loads into one interpreter per process and initialises once, so
// the objects every call needs live here rather than in per-module state:
// the table of constants, the module's own types, the module object, its
// globals and the builtins it took at initialisation.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/constants.hpp"

namespace llm_metrics {

// Lookups of module globals, builtins and attributes of exact modules, kept
// exact by one dict watcher (core/globals.hpp, which states the rules).
// An entry owns its value (a strong reference) and is valid only in the
// generation it was stored in; the watcher starts a new generation whenever
// a watched dictionary is about to change or go away.  Its dictionary is a
// key, compared and never dereferenced, so it is not owned: every dictionary
// an entry is keyed on is watched before the value is read, so its
// deallocation ends the entry's generation before its address can be
// reused (holding it would keep every module the methods ever read alive,
// and grow with them).  The name is an interned str of the table, alive as
// long as the process.  Entries of ended generations are released at the
// next store or by `release_lookups`, never in the watcher.
struct LookupCache {
    struct Entry {
        PyObject* dict = nullptr;   // the dictionary looked in first (the globals, or a module's): a key
        PyObject* name = nullptr;   // interned
        PyObject* value = nullptr;  // (strong)
        bool global = false;        // a global lookup (may have gone on to the builtins), not a module attribute
        uint64_t generation = 0;
    };
    // A change the watcher was told of, kept to refuse storing the value it
    // is about to replace until it is made.  Its pointers are compared,
    // never dereferenced.
    struct Change {
        const void* dict = nullptr;   // null: a free record; core/globals.cpp's any_dict: several
        Py_hash_t hash = -1;          // of the key, when an exact str
        const void* value = nullptr;  // the key's value once changed (null: deleted)
        bool whole = false;           // cleared, cloned, going away, or a key other than an exact str
        const void* frame = nullptr;  // the innermost Python frame making it (null: none)
        int lasti = -1;               // and its instruction: the change is made once that frame moved on
    };
    static constexpr size_t kEntries = 64;  // a power of two
    static constexpr size_t kChanges = 16;
    Entry entries[kEntries] = {};
    Change changes[kChanges] = {};
    size_t next_change = 0;
    uint64_t generation = 1;                // entries of generation 0 are empty
    int watcher_id = -1;                    // -1: no watcher, no caching
    PyObject* builtins_dict = nullptr;      // the builtins a function body of the module sees (strong)
};

struct State {
    Constants consts;                    // interned names, texts and tuples
    PyTypeObject* function_type = nullptr;  // core/method_function.hpp (strong)
    PyTypeObject* scope_type = nullptr;     // core/scope.hpp (strong)
    PyObject* module = nullptr;          // the initialised module object (strong)
    PyObject* globals = nullptr;         // its __dict__ (strong)
    PyObject* builtins = nullptr;        // the builtins module (strong)
    PyObject* builtin_import = nullptr;  // builtins taken once at initialisation (strong)
    PyObject* builtin_print = nullptr;
    PyObject* builtin_sorted = nullptr;
    int64_t interpreter_id = -1;         // the interpreter that first created the module
    LookupCache lookups;
};

namespace detail {
extern State the_state;
}

// The process-wide state.
inline State& state() { return detail::the_state; }

}  // namespace llm_metrics
