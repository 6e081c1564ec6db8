// Module globals and attributes of modules, read as a function body of the
// module reads them: from the dictionaries at every use, nothing kept.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics {

// Module-level name lookup as LOAD_GLOBAL does it: the module globals, then
// the builtins dictionary a function of the module sees (taken when the
// module initialised); NameError "name '...' is not defined" when absent.
// `name` is an interned str of the table.
Ref lookup_global(PyObject* name);

// `module.<name>`, through the attribute protocol.
inline Ref module_attr(PyObject* module, PyObject* name) { return Ref::steal(PyObject_GetAttr(module, name)); }

}  // namespace llm_metrics
