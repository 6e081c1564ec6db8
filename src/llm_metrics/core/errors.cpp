#include "core/errors.hpp"

#include "core/ref.hpp"

namespace llm_metrics {

PyObject* raise_install_hint(const char* hint) {
    if (!current_exception_is_ordinary()) {
        return nullptr;
    }
    Ref handled = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyUnicode_FromString(hint));
    Ref exc = Ref::steal(text ? PyObject_CallOneArg(PyExc_Exception, text.get()) : nullptr);
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
