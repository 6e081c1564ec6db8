#include "core/attrs.hpp"

#include "core/ref.hpp"
#include "core/state.hpp"

namespace llm_metrics {

namespace {

// Whether `exc.<field>` reads as None (an unset field reads so).  -1 on failure.
int reads_none(PyObject* exc, PyObject* field) {
    Ref value;
    if (PyObject_GetOptionalAttr(exc, field, value.put()) < 0) {
        return -1;
    }
    return !value || value.get() == Py_None;
}

}  // namespace

void add_attribute_error_context(PyObject* obj, PyObject* name) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return;
    }
    const Constants& c = state().consts;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    const int name_unset = reads_none(exc.get(), c.name);
    const int obj_unset = name_unset > 0 ? reads_none(exc.get(), c.obj) : 0;
    if (name_unset < 0 || obj_unset < 0) {
        return;  // the failure replaces the AttributeError
    }
    if (name_unset && obj_unset &&
        (PyObject_SetAttr(exc.get(), c.name, name) < 0 || PyObject_SetAttr(exc.get(), c.obj, obj) < 0)) {
        return;
    }
    PyErr_SetRaisedException(exc.release());
}

}  // namespace llm_metrics
