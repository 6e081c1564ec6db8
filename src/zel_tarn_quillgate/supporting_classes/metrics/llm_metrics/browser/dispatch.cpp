#include "browser/browser.hpp"

namespace llm_metrics::browser {

int init_browser() { return 0; }

PyObject* show_supported_metrics(MethodFunction*, PyObject* const*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "LLMMetrics.show_supported_metrics is not implemented yet");
    return nullptr;
}

}  // namespace llm_metrics::browser
