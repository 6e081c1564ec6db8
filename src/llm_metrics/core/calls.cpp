#include "core/calls.hpp"

namespace llm_metrics {

Ref call_with_mapping(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) {
        if (PyVectorcall_Function(callable) == nullptr) {
            // tp_call would receive the dict itself; like f(**kwargs), the
            // callee gets a copy, so nothing it does reaches the caller's dict.
            Ref copy = Ref::steal(PyDict_Copy(mapping));
            if (!copy) {
                return {};
            }
            return Ref::steal(PyObject_VectorcallDict(callable, args, nargs, copy.get()));
        }
        return Ref::steal(PyObject_VectorcallDict(callable, args, nargs, mapping));
    }
    // `f(**m)` for any other mapping: the items are copied into a new dict first.
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) {
        return {};
    }
    if (PyDict_Merge(copy.get(), mapping, 1) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                         Py_TYPE(mapping)->tp_name);
        }
        return {};
    }
    return Ref::steal(PyObject_VectorcallDict(callable, args, nargs, copy.get()));
}

}  // namespace llm_metrics
