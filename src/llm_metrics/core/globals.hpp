// Module globals as the methods' bodies read them, and attributes of
// modules, both cached exactly.
//
// A value found in a module's dictionary stays cached until that
// dictionary, the module globals or the builtins change in any way: one
// dict watcher (PyDict_AddWatcher) watches them all and empties the cache
// before the change is made, whoever makes it, including Python code that a
// method itself calls halfway through.  Without a free watcher id the
// lookups are made every time, with the same results.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics {

// Starts the watcher and watches the module globals and the builtins.  A
// missing watcher id is not an error: the lookups are then not cached.
// -1 with an exception set on failure.
int watch_globals();

// Module-level name lookup as a function body does it: the module globals,
// then the builtins; NameError "name '...' is not defined" when absent.
// `name` is an interned str of the table.
Ref lookup_global(PyObject* name);

// `module.<name>` (`name` an interned str of the table), cached while the
// module is exactly a module and its dictionary has the name.
Ref module_attr(PyObject* module, PyObject* name);

}  // namespace llm_metrics
