// The function type behind every method of LLMMetrics and every helper
// function the browser creates per call.
//
// A `MethodFunction` carries the Python-visible contract of a function
// defined in Python source: __name__, __qualname__, __module__, __doc__,
// __defaults__, __kwdefaults__, __annotations__, __dict__, __globals__, a
// signature for `inspect`, descriptor binding (plain function through the
// class, bound method through an instance) and vectorcall.  Its parameters
// come from a static `FunctionSpec`; the arguments of each call are bound by
// one table-driven binder before the C++ body runs.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics {

struct MethodFunction;

// The C++ body of a function.  `args` holds one borrowed reference per
// parameter of the FunctionSpec, in parameter order, all bound (defaults applied).
// `kwargs` is the new dictionary of extra keywords for functions with
// `**kwargs`, otherwise null.  Returns a new reference, or null with an
// exception set.
using FunctionBody = PyObject* (*)(MethodFunction* self, PyObject* const* args, PyObject* kwargs);

struct FunctionSpec {
    const char* name;                  // __name__
    const char* const* params;         // parameter names, `self` included
    Py_ssize_t n_params;
    bool var_keywords = false;         // accepts **kwargs
    Py_ssize_t exact_dict_param = -1;  // index of a parameter that must be exactly a dict
    FunctionBody body = nullptr;
};

struct MethodFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* param_names;   // tuple of interned parameter names
    PyObject* name;          // __name__
    PyObject* qualname;      // __qualname__
    PyObject* reduce_name;   // dotted path under the module used for pickling
    PyObject* module;        // __module__
    PyObject* doc;           // __doc__
    PyObject* defaults;      // __defaults__ (tuple) or null
    PyObject* kwdefaults;    // __kwdefaults__ (dict) or null
    PyObject* annotations;   // __annotations__ (dict), created on demand
    PyObject* dict;          // __dict__, created on demand
    PyObject* globals;       // __globals__
    PyObject* scope;         // data shared with the function that created it, or null
    PyObject* weakreflist;
};

// The type's spec (the type itself is `names.function_type`).
extern PyType_Spec function_spec;

// The parameter-name tuple, __name__, __qualname__ and pickling name of a
// function: immutable objects that every function created from one spec at
// one place can share, so that creating those functions allocates only the
// function objects.  Filled once by `make_function_texts` and kept for the
// life of the process.
struct FunctionTexts {
    PyObject* param_names = nullptr;  // tuple of interned parameter names
    PyObject* name = nullptr;
    PyObject* qualname = nullptr;
    PyObject* reduce_name = nullptr;
};

// Fills `out` for `spec` (qualname and reduce_name as in FunctionOptions).
// Returns 0, or -1 with an exception set and `out` left empty.
int make_function_texts(const FunctionSpec& spec, const char* qualname, const char* reduce_name, FunctionTexts& out);

struct FunctionOptions {
    const FunctionTexts* texts = nullptr;  // prebuilt texts; when set, qualname and reduce_name are not used
    const char* qualname = nullptr;      // defaults to the name
    const char* reduce_name = nullptr;   // defaults to the qualified name
    PyObject* doc = nullptr;             // borrowed; None when null
    PyObject* defaults = nullptr;        // borrowed tuple, or null for none
    PyObject* annotations = nullptr;     // borrowed dict, or null for an empty one on demand
    PyObject* scope = nullptr;           // borrowed
};

// Creates a function for `spec`.  `module` and `globals` are borrowed.
Ref new_method_function(const FunctionSpec& spec, PyObject* module, PyObject* globals,
                        const FunctionOptions& options);

inline MethodFunction* as_method_function(PyObject* obj) {
    return reinterpret_cast<MethodFunction*>(obj);
}

}  // namespace llm_metrics
