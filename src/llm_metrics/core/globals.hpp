// Module globals and attributes of modules, read as a function body of the
// module reads them: from the dictionaries at every use, nothing kept.
#pragma once

#include <Python.h>

#include "core/ref.hpp"
#include "core/state.hpp"

namespace llm_metrics {

namespace detail {
// The rest of lookup_global once the module globals lack `name`.
Ref lookup_builtin(PyObject* name);
}  // namespace detail

// Module-level name lookup as LOAD_GLOBAL does it: the module globals, then
// the builtins dictionary a function of the module sees (taken when the
// module initialised); NameError "name '...' is not defined" when absent.
// `name` is an interned str of the table.  (The usual case, a name of the
// module globals, is inline at each use.)
inline Ref lookup_global(PyObject* name) {
    PyObject* globals = state().globals;
    Ref value;
    if (globals != nullptr && PyDict_GetItemRef(globals, name, value.put()) != 0) {
        return value;  // found, or an error is set
    }
    return detail::lookup_builtin(name);
}

// `module.<name>`, through the attribute protocol.
inline Ref module_attr(PyObject* module, PyObject* name) { return Ref::steal(PyObject_GetAttr(module, name)); }

}  // namespace llm_metrics
