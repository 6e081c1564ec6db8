#include "computation/computation.hpp"

namespace llm_metrics::computation {

PyObject* get_metrics_manager(MethodFunction*, PyObject* const*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "LLMMetrics.get_metrics_manager is not implemented yet");
    return nullptr;
}

}  // namespace llm_metrics::computation
