// Raising exceptions while another is being handled.
#pragma once

#include <Python.h>

namespace llm_metrics {

// Raises `exc_type(message)` while the current exception is being handled, so
// that the current exception becomes its __context__.  Always returns null.
PyObject* raise_in_handler(PyObject* exc_type, const char* message);

// True when the current exception is an instance of Exception (the only kind
// the install-hint guards turn into their own message).
inline bool current_exception_is_ordinary() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

}  // namespace llm_metrics
