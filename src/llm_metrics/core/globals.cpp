#include "core/globals.hpp"

#include "core/state.hpp"

namespace llm_metrics {

Ref lookup_global(PyObject* name) {
    const State& s = state();
    Ref value;
    int found = s.globals != nullptr ? PyDict_GetItemRef(s.globals, name, value.put()) : 0;
    if (found == 0 && s.builtins_dict != nullptr) {
        found = PyDict_GetItemRef(s.builtins_dict, name, value.put());
    }
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;  // found, or an error is set
}

}  // namespace llm_metrics
