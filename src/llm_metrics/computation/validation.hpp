// Checks shared by the computation entry points.
#pragma once

#include <Python.h>

namespace llm_metrics::computation {

// validate_type(configuration, "configuration", dict, True) through the
// module global `validate_type`, looked up now.  -1 with an exception set
// when the global is missing or the check raises.
int validate_configuration(PyObject* configuration);

}  // namespace llm_metrics::computation
