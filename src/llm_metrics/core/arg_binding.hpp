// Binding of vectorcall arguments to a function's parameter table.
#pragma once

#include <Python.h>

#include "core/function_object.hpp"
#include "core/ref.hpp"

namespace llm_metrics {

// Binds positional arguments `args[0:nargs]` and the keyword arguments named
// by `kwnames` (values after the positional ones) to the parameters of `fn`.
// On success fills `bound[0:n_params]` (room for kMaxParams) with borrowed references (defaults
// applied) and, for functions with **kwargs, sets `extra` to a new dict of
// the remaining keywords.  `defaults` receives the defaults tuple the
// missing arguments were taken from (read after the keywords, which can run
// Python code); the caller keeps it, and so the defaults among `bound`,
// alive until the call ends.  Returns -1 with an exception set (a TypeError
// when the call does not fit the signature).
int bind_arguments(MethodFunction* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound, Ref& extra, Ref& defaults);

}  // namespace llm_metrics
