#include "computation/computation.hpp"

namespace llm_metrics::computation {

PyObject* validate_params(MethodFunction*, PyObject* const*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "LLMMetrics.validate_params is not implemented yet");
    return nullptr;
}

}  // namespace llm_metrics::computation
