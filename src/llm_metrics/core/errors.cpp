#include "core/errors.hpp"

#include "core/ref.hpp"

namespace llm_metrics {

PyObject* raise_in_handler(PyObject* exc_type, const char* message) {
    Ref handled = Ref::steal(PyErr_GetRaisedException());
    Ref exc = Ref::steal(PyObject_CallFunction(exc_type, "s", message));
    if (!exc) {
        return nullptr;
    }
    if (handled) {
        PyException_SetContext(exc.get(), handled.release());
    }
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

}  // namespace llm_metrics
