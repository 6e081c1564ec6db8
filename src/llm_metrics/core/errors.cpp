#include "core/errors.hpp"

#include "core/ref.hpp"

namespace llm_metrics {

PyObject* raise_install_hint(PyObject* hint) {
    if (!current_exception_is_ordinary()) {
        return nullptr;
    }
    Ref handled = Ref::steal(PyErr_GetRaisedException());
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_Exception, hint));
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
