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
// exact by one dict watcher (core/globals.hpp).  Each entry is borrowed from
// the dictionary it was found in and valid only in the generation it was
// stored in: the watcher starts a new generation whenever any watched
// dictionary changes or goes away, before the change happens.
struct LookupCache {
    struct Entry {
        PyObject* dict = nullptr;    // the dictionary looked in first (the globals, or a module's)
        PyObject* name = nullptr;    // interned
        PyObject* value = nullptr;   // borrowed from a watched dictionary
        PyObject* module = nullptr;  // the module whose type must still be exactly a module, or null
        uint64_t generation = 0;
    };
    static constexpr size_t kEntries = 64;  // a power of two
    Entry entries[kEntries] = {};
    uint64_t generation = 1;                // entries of generation 0 are empty
    int watcher_id = -1;                    // -1: no watcher, no caching
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
