// Imports made while the methods run.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "core/ref.hpp"

namespace llm_metrics {

// `from <module_name> import <attr_names...>` as an absolute import: a loaded
// module that has every name is taken from sys.modules, otherwise the module
// is imported with the module globals and the names as fromlist.  A missing
// name is an ImportError.  Fills `out` with one reference per name.
int import_from(PyObject* module_name, std::initializer_list<PyObject*> attr_names, Ref* out);

}  // namespace llm_metrics
