// Module globals as the methods' bodies read them.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics {

// Module-level name lookup as a function body does it: the module globals,
// then the builtins; NameError "name '...' is not defined" when absent.
Ref lookup_global(PyObject* name);

}  // namespace llm_metrics
