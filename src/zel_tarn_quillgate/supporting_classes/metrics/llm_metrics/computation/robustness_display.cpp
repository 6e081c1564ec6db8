#include "computation/computation.hpp"

namespace llm_metrics::computation {

PyObject* display_result(MethodFunction*, PyObject* const*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "LLMMetrics.display_result is not implemented yet");
    return nullptr;
}

}  // namespace llm_metrics::computation
