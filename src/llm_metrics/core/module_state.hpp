// Process-wide state of the module.
//
// The module loads into one interpreter per process and initialises once, so
// the few objects every call needs live here rather than in per-module state.
#pragma once

#include <Python.h>

#include <cstdint>

namespace llm_metrics {

struct ModuleState {
    PyObject* module = nullptr;          // the initialised module object (strong)
    PyObject* globals = nullptr;         // its __dict__ (strong)
    PyObject* builtins = nullptr;        // the builtins module (strong)
    PyObject* builtin_import = nullptr;  // builtins taken once at initialisation (strong)
    PyObject* builtin_print = nullptr;
    PyObject* builtin_sorted = nullptr;
    int64_t interpreter_id = -1;         // the interpreter that first created the module
};

extern ModuleState state;

}  // namespace llm_metrics
