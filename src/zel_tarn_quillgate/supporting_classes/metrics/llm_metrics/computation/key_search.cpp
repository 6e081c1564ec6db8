#include "computation/computation.hpp"

namespace llm_metrics::computation {

PyObject* is_key_present(MethodFunction*, PyObject* const*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "LLMMetrics.is_key_present is not implemented yet");
    return nullptr;
}

}  // namespace llm_metrics::computation
