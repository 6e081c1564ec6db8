// Scopes shared by nested functions: the variables that a function and the
// functions it creates read, as closure cells would hold them.
//
// A scope is a small GC-aware object with a fixed number of variable slots,
// held in the `scope` slot of every function that shares it.  A variable is
// bound while its slot holds an object.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics {

// The type's spec (the type itself is `state().scope_type`).
extern PyType_Spec scope_spec;

// A new scope of `n_vars` unbound variables, or an empty Ref with an exception set.
Ref new_scope(Py_ssize_t n_vars);

// Whether `obj` is a scope.
bool is_scope(PyObject* obj);

// The variable `index` of `scope` (borrowed), or null when it is unbound.
PyObject* scope_get(PyObject* scope, Py_ssize_t index);

// Binds the variable `index` of `scope` to `value` (borrowed; null unbinds).
void scope_set(PyObject* scope, Py_ssize_t index, PyObject* value);

// Unbinds every variable, breaking cycles between the scope and the functions it holds.
void scope_clear_all(PyObject* scope);

}  // namespace llm_metrics
