#include "core/globals.hpp"

#include "core/state.hpp"

namespace llm_metrics {

Ref lookup_global(PyObject* name) {
    Ref value;
    if (state().globals != nullptr) {
        const int found = PyDict_GetItemRef(state().globals, name, value.put());
        if (found != 0) {
            return value;  // found, or an error is set
        }
    }
    if (state().builtins != nullptr && PyObject_GetOptionalAttr(state().builtins, name, value.put()) != 0) {
        return value;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

}  // namespace llm_metrics
