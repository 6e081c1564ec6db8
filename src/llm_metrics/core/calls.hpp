// Calls through vectorcall.
#pragma once

#include <Python.h>

#include <array>

#include "core/ref.hpp"

namespace llm_metrics {

// callable(*args) through vectorcall.
template <size_t N>
Ref call(PyObject* callable, const std::array<PyObject*, N>& args) {
    return Ref::steal(PyObject_Vectorcall(callable, args.data(), N, nullptr));
}

// callable(*positional, **{kwnames[i]: values}) where `args` holds the
// positional values followed by the keyword values.
template <size_t N>
Ref call_kw(PyObject* callable, const std::array<PyObject*, N>& args, PyObject* kwnames) {
    const size_t nargs = N - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_Vectorcall(callable, args.data(), nargs, kwnames));
}

// callable(*args, **mapping): the callee receives its own copy of the items.
Ref call_with_mapping(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* mapping);

// self.<name>(*args) by attribute lookup on the instance (so subclasses can
// replace the method).  `args[0]` must be the instance.  The arguments are
// this call's own array, which the callee may borrow for a moment
// (PY_VECTORCALL_ARGUMENTS_OFFSET).
template <size_t N>
Ref call_method(PyObject* name, std::array<PyObject*, N> args) {
    return Ref::steal(PyObject_VectorcallMethod(name, args.data(), N | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace llm_metrics
