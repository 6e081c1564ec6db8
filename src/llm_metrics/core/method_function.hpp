// The function type behind every method of LLMMetrics and every helper
// function the browser creates per call.
//
// A `MethodFunction` carries the Python-visible contract of a function
// defined in Python source: __name__, __qualname__, __module__, __doc__,
// __defaults__, __kwdefaults__, __annotations__ (and from 3.14 __annotate__),
// __dict__, __globals__, a __code__ from which `inspect` computes the
// signature, descriptor binding (plain
// function through the class, bound method through an instance) and
// vectorcall.  Its parameters come from a static `FunctionSpec`; the
// arguments of each call are bound by one table-driven binder before the C++
// body runs.
#pragma once

#include <Python.h>

#include "core/function_object.hpp"
#include "core/ref.hpp"

namespace llm_metrics {

// The type's spec (the type itself is `state().function_type`).
extern PyType_Spec function_spec;

struct FunctionOptions {
    PyObject* qualname = nullptr;        // borrowed str; defaults to the name
    PyObject* locals = nullptr;          // borrowed str: the qualified name is `locals` + name
    PyObject* doc = nullptr;             // borrowed; None when null
    PyObject* defaults = nullptr;        // borrowed tuple made by `make_defaults(spec)`; null: a new one
    PyObject* annotations = nullptr;     // borrowed dict, or null for an empty one on demand
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* annotate = nullptr;        // borrowed __annotate__, or null (None)
#endif
    PyObject* scope = nullptr;           // borrowed
};

// __defaults__ of `spec`: a new tuple of its default values, or an empty
// Ref (no exception) when it has none.
Ref make_defaults(const FunctionSpec& spec);

// Creates a function for `spec`, its __defaults__ `options.defaults` or else
// made from `spec.defaults`.  `module` and `globals` are borrowed.
Ref new_method_function(const FunctionSpec& spec, PyObject* module, PyObject* globals,
                        const FunctionOptions& options);

}  // namespace llm_metrics
