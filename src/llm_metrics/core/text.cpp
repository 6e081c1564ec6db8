#include "core/text.hpp"

#include "core/state.hpp"

namespace llm_metrics {

Ref format_join(std::initializer_list<PyObject*> pieces) {
    Ref texts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!texts) {
        return {};
    }
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) {
        PyObject* text = PyObject_Format(piece, state().consts.empty);
        if (text == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(texts.get(), i++, text);
    }
    return Ref::steal(PyUnicode_Join(state().consts.empty, texts.get()));
}

int print_line(PyObject* text) {
    Ref result = Ref::steal(PyObject_Vectorcall(state().builtin_print, &text, 1, nullptr));
    return result ? 0 : -1;
}

}  // namespace llm_metrics
