#include "browser/browser.hpp"

namespace llm_metrics::browser {

PyObject* show_supported_metrics_old(MethodFunction*, PyObject* const*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "LLMMetrics.__show_supported_metrics_old is not implemented yet");
    return nullptr;
}

}  // namespace llm_metrics::browser
