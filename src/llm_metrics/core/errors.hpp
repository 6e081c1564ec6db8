// Raising exceptions while another is being handled.
#pragma once

#include <Python.h>

namespace llm_metrics {

// The install hint of a plugin that cannot be loaded: when the current
// exception is an Exception, raises `Exception(hint)` while it is being
// handled, so that it becomes the hint's __context__; anything else
// (KeyboardInterrupt, SystemExit...) is left as it is.  Always returns null.
PyObject* raise_install_hint(const char* hint);

// True when the current exception is an instance of Exception (the only kind
// the install-hint guards turn into their own message).
inline bool current_exception_is_ordinary() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

}  // namespace llm_metrics
