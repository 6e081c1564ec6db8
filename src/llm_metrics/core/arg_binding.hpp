// Binding of vectorcall arguments to a function's parameter table.
#pragma once

#include <Python.h>

#include "core/function_object.hpp"
#include "core/ref.hpp"

namespace llm_metrics {

// Most parameters any function of this extension has (`self` included).
inline constexpr Py_ssize_t kMaxParams = 8;

// Binds positional arguments `args[0:nargs]` and the keyword arguments named
// by `kwnames` (values after the positional ones) to the parameters of `fn`.
// On success fills `bound[0:n_params]` with borrowed references (defaults
// applied) and, for functions with **kwargs, sets `extra` to a new dict of
// the remaining keywords.  Returns -1 with a TypeError set when the call does
// not fit the signature.
int bind_arguments(MethodFunction* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound, Ref& extra);

}  // namespace llm_metrics
