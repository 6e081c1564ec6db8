// Imports made while the methods run.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics {

// `import <module_name>` (`fromlist` None) or the import step of `from
// <module_name> import ...` (`fromlist` the tuple of the names), as the
// statement runs it at level 0: `__import__` is looked up in the builtins
// dictionary a function of the module sees at every call ("__import__ not
// found" when it is missing) and called with the module name, the module
// globals, `locals` (None inside a function, the globals in the module
// body), the fromlist and 0.  The interpreter's own `__import__` is its
// import machinery; a replacement (an import tracer, a lazy importer) is
// called as the statement calls it.
Ref import_module(PyObject* module_name, PyObject* fromlist, PyObject* locals = Py_None);

// `from <module_name> import <names...>` as the statement does it at level 0,
// `names` being the tuple of the names: the module is imported as above,
// then each name is taken from it in turn, falling back to the submodule
// "<module>.<name>" in sys.modules, and failing with the interpreter's
// ImportError ("cannot import name ...").  Fills `out` with one reference
// per name.  No code is compiled or executed besides what the statement
// runs, and an error keeps its own traceback.
int import_from(PyObject* module_name, PyObject* names, Ref* out, PyObject* locals = Py_None);

}  // namespace llm_metrics
