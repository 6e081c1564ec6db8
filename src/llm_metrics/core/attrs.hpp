// Attribute access with the names of the table.
//
// The names are interned exact str objects, so the type's own slot is
// called directly: what PyObject_GetAttr / PyObject_SetAttr do besides
// (checking and interning the name) is already done.
#pragma once

#include <Python.h>

namespace llm_metrics {

// The `name` and `obj` of an AttributeError raised while reading
// `obj.<name>`, as PyObject_GetAttr adds them (for "Did you mean" hints)
// when the exception has neither.
void add_attribute_error_context(PyObject* obj, PyObject* name);

// obj.<name>: a new reference, or null with an exception set.
inline PyObject* get_attr(PyObject* obj, PyObject* name) {
    getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
    if (getattro == nullptr) {
        return PyObject_GetAttr(obj, name);
    }
    PyObject* value = getattro(obj, name);
    if (value == nullptr) {
        add_attribute_error_context(obj, name);
    }
    return value;
}

// obj.<name> = value (null deletes): 0, or -1 with an exception set.
inline int set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    setattrofunc setattro = Py_TYPE(obj)->tp_setattro;
    return setattro != nullptr ? setattro(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

}  // namespace llm_metrics
