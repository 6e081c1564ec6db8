// Imports made while the methods run.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics {

// `from <module_name> import <names...>` as the statement does it at level 0,
// `names` being the tuple of the names: the module is imported (or found in
// sys.modules) with the module globals and `names` as fromlist, then each
// name is taken from it in turn, falling back to the submodule
// "<module>.<name>" in sys.modules, and failing with the interpreter's
// ImportError ("cannot import name ...").  Fills `out` with one reference
// per name.  Nothing runs that the statement would not run: no code is
// compiled or executed, so audit hooks, tracers and profilers see only what
// the statement shows them, and an error keeps its own traceback.
int import_from(PyObject* module_name, PyObject* names, Ref* out);

}  // namespace llm_metrics
