// The function objects of this extension as data: the static description
// of a function (`FunctionSpec`) and the object made from it
// (`MethodFunction`).  The behaviour of the type is in method_function.hpp;
// argument binding (arg_binding.hpp) reads these structures only.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "core/state.hpp"

namespace llm_metrics {

struct MethodFunction;

// The C++ body of a function.  `args` holds one borrowed reference per
// parameter of the FunctionSpec, in parameter order, all bound (defaults applied).
// `kwargs` is the new dictionary of extra keywords for functions with
// `**kwargs`, otherwise null.  Returns a new reference, or null with an
// exception set.
using FunctionBody = PyObject* (*)(MethodFunction* self, PyObject* const* args, PyObject* kwargs);

// An entry of the table of state().consts.
using NameField = PyObject* Constants::*;

// A function, declared once with designated initialisers, for example
//     {.name = &Constants::__display_table,
//      .params = {&Constants::headers, &Constants::record, &Constants::title_table},
//      .body = display_table}
// The parameter count follows from the list.
struct FunctionSpec {
    NameField name;                            // __name__
    std::initializer_list<NameField> params = {};  // parameter names, `self` included
    bool var_keywords = false;                 // accepts **kwargs
    Py_ssize_t exact_dict_param = -1;          // index of a parameter that must be exactly a dict
    FunctionBody body = nullptr;
    Py_ssize_t n_params = static_cast<Py_ssize_t>(params.size());  // computed: never given
};

// The name of parameter `i` of `spec` (borrowed from the table).
inline PyObject* param_name(const FunctionSpec& spec, Py_ssize_t i) { return state().consts.*(spec.params.begin()[i]); }

// The __name__ of `spec` as a C string.
inline const char* spec_name_text(const FunctionSpec& spec) { return PyUnicode_AsUTF8(state().consts.*spec.name); }

struct MethodFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* param_names;   // tuple of interned parameter names
    PyObject* name;          // __name__
    PyObject* qualname;      // __qualname__, or null until asked for when `locals` gives it
    PyObject* locals;        // "<enclosing qualname>.<locals>." for a function made inside another, or null
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

inline MethodFunction* as_method_function(PyObject* obj) {
    return reinterpret_cast<MethodFunction*>(obj);
}

}  // namespace llm_metrics
