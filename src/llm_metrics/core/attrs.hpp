// Attribute access with the names of the table.
//
// Reads go through PyObject_GetAttr: besides calling the type's slot, it
// gives an AttributeError its `name` and `obj` exactly as the interpreter
// does (only when the exception never had them set, whatever they read as,
// and never through a subclass's own `name` attribute), which no public API
// lets this module repeat by hand; it costs a few instructions over calling
// the slot directly.  Stores call the type's own slot: the names are
// interned exact str objects, so what PyObject_SetAttr does besides
// (checking and interning the name) is already done.
#pragma once

#include <Python.h>

namespace llm_metrics {

// obj.<name>: a new reference, or null with an exception set.
inline PyObject* get_attr(PyObject* obj, PyObject* name) { return PyObject_GetAttr(obj, name); }

// obj.<name> = value (null deletes): 0, or -1 with an exception set.
inline int set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    setattrofunc setattro = Py_TYPE(obj)->tp_setattro;
    return setattro != nullptr ? setattro(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

}  // namespace llm_metrics
