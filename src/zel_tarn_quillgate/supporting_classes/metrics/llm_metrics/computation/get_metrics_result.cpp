#include "computation/computation.hpp"

namespace llm_metrics::computation {

PyObject* get_metrics_result(MethodFunction*, PyObject* const*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "LLMMetrics.get_metrics_result is not implemented yet");
    return nullptr;
}

}  // namespace llm_metrics::computation
