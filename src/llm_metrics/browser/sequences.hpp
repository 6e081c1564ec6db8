// Loops and list building shared by the browser's functions.
//
// The loops behave like Python `for` statements: an exact list is walked by
// index against its current length, anything else through its iterator, and
// every item is held by a strong reference while the loop body runs (the body
// may call back into Python, which can change the container).
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics::browser {

// Calls `body(item)` for each item of `iterable`; stops at the first body
// that returns -1.  Returns 0, or -1 with an exception set.
template <class Body>
int for_each(PyObject* iterable, Body&& body) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (body(item.get()) < 0) {
                return -1;
            }
        }
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) {
        return -1;
    }
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            return PyErr_Occurred() ? -1 : 0;
        }
        if (body(item.get()) < 0) {
            return -1;
        }
    }
}

// Appends `item` (a new reference, taken over even on failure) to `list`.
inline int list_append_new(PyObject* list, PyObject* item) {
    if (item == nullptr) {
        return -1;
    }
    const int result = PyList_Append(list, item);
    Py_DECREF(item);
    return result;
}

// A new list holding the one item `item`.
inline PyObject* single_item_list(PyObject* item) {
    PyObject* list = PyList_New(1);
    if (list != nullptr) {
        PyList_SET_ITEM(list, 0, Py_NewRef(item));
    }
    return list;
}

}  // namespace llm_metrics::browser
