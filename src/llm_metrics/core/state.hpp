// Process-wide state of the module, behind one accessor: `state()`.
//
// The module loads into one interpreter per process and initialises once, so
// the objects every call needs live here rather than in per-module state:
// the table of constants, the module's own types, the module object, its
// globals, the builtins it took at initialisation, and what a subsystem keeps.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/constants.hpp"

namespace llm_metrics {

struct State {
    Constants consts;                    // interned names, texts and tuples
    PyTypeObject* function_type = nullptr;  // core/method_function.hpp (strong)
    PyTypeObject* scope_type = nullptr;     // core/scope.hpp (strong)
    PyObject* module = nullptr;          // the initialised module object (strong)
    PyObject* globals = nullptr;         // its __dict__ (strong)
    PyObject* builtins = nullptr;        // the builtins module (strong)
    PyObject* builtins_dict = nullptr;   // the builtins a function of the module sees (strong)
    PyObject* builtin_import = nullptr;  // builtins taken once at initialisation (strong)
    bool builtin_import_is_the_interpreters = false;  // the builtins module's own built-in __import__
    PyObject* builtin_print = nullptr;
    PyObject* builtin_sorted = nullptr;
    PyObject* browser_texts = nullptr;    // the browser's words, a tuple (browser/texts.hpp) (strong)
    PyObject* nested_defaults = nullptr;  // the browser's nested functions' defaults, made at its first call (strong)
    int64_t interpreter_id = -1;         // the interpreter that first created the module
};

namespace detail {
extern State the_state;
}

// The process-wide state.
inline State& state() { return detail::the_state; }

}  // namespace llm_metrics
