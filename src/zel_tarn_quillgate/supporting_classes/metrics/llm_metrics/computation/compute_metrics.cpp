#include "computation/computation.hpp"

namespace llm_metrics::computation {

PyObject* compute_metrics(MethodFunction*, PyObject* const*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "LLMMetrics.compute_metrics is not implemented yet");
    return nullptr;
}

}  // namespace llm_metrics::computation
