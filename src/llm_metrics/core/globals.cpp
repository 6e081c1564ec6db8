#include "core/globals.hpp"

namespace llm_metrics::detail {

Ref lookup_builtin(PyObject* name) {
    PyObject* builtins = state().builtins_dict;
    Ref value;
    const int found = builtins != nullptr ? PyDict_GetItemRef(builtins, name, value.put()) : 0;
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;  // found, or an error is set
}

}  // namespace llm_metrics::detail
