// Imports made while the methods run.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "core/ref.hpp"

namespace llm_metrics {

// `from <module_name> import <attr_names...>` as the statement does it at
// level 0: the module is imported (or found in sys.modules) with the module
// globals and the names as fromlist, then each name is taken from it in
// turn, falling back to the submodule "<module>.<name>" in sys.modules, and
// failing with the interpreter's ImportError ("cannot import name ...").
// Fills `out` with one reference per name.
int import_from(PyObject* module_name, std::initializer_list<PyObject*> attr_names, Ref* out);

}  // namespace llm_metrics
