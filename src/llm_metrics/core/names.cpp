#include "core/names.hpp"

#include <cstring>

#include "core/method_function.hpp"
#include "core/scope.hpp"

namespace llm_metrics {

Names names;

namespace {

// Whether a literal is ASCII, checked when the table is compiled.
template <size_t N>
consteval bool is_ascii(const char (&literal)[N]) {
    for (size_t i = 0; i + 1 < N; ++i) {
        if (static_cast<unsigned char>(literal[i]) >= 128) {
            return false;
        }
    }
    return true;
}

// A str of an ASCII literal, copied without decoding.
template <size_t N>
PyObject* new_text(const char (&literal)[N]) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(N - 1), 127);
    if (text != nullptr) {
        memcpy(PyUnicode_1BYTE_DATA(text), literal, N - 1);
    }
    return text;
}

template <size_t N>
bool make_text(PyObject*& slot, const char (&literal)[N]) {
    slot = new_text(literal);
    return slot != nullptr;
}

// Names are interned: they serve as attribute names and dictionary keys.
template <size_t N>
bool make_name(PyObject*& slot, const char (&literal)[N]) {
    slot = new_text(literal);
    if (slot != nullptr) {
        PyUnicode_InternInPlace(&slot);
    }
    return slot != nullptr;
}

template <class... Items>
bool make_tuple(PyObject*& slot, Items... items) {
    slot = PyTuple_Pack(static_cast<Py_ssize_t>(sizeof...(items)), items...);
    return slot != nullptr;
}

bool make_type(PyTypeObject*& slot, PyType_Spec& spec) {
    slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (slot == nullptr && !PyErr_Occurred()) {
        // CPython 3.13.0 can fail to allocate the type's name without saying so.
        PyErr_NoMemory();
    }
    return slot != nullptr;
}

int create_entries() {
#define LLM_METRICS_MAKE_NAME(field) \
    if (!make_name(names.field, #field)) return -1;
#define LLM_METRICS_MAKE_TEXT(field, literal)                     \
    static_assert(is_ascii(literal), "texts of the table are ASCII"); \
    if (!make_text(names.field, literal)) return -1;
#define LLM_METRICS_MAKE_TUPLE(field, ...) \
    if (!make_tuple(names.field, __VA_ARGS__)) return -1;
#define LLM_METRICS_MAKE_TYPE(field, spec) \
    if (!make_type(names.field, spec)) return -1;
    LLM_METRICS_NAMES(LLM_METRICS_MAKE_NAME)
    LLM_METRICS_TEXTS(LLM_METRICS_MAKE_TEXT)
    LLM_METRICS_TUPLES(LLM_METRICS_MAKE_TUPLE)
    LLM_METRICS_TYPES(LLM_METRICS_MAKE_TYPE)
#undef LLM_METRICS_MAKE_NAME
#undef LLM_METRICS_MAKE_TEXT
#undef LLM_METRICS_MAKE_TUPLE
#undef LLM_METRICS_MAKE_TYPE
    return 0;
}

}  // namespace

int init_names() {
    if (names.ready) {
        return 0;
    }
    if (create_entries() < 0) {
        clear_names();
        return -1;
    }
    names.ready = true;
    return 0;
}

void clear_names() {
    // Every entry is a str, a tuple of such or None, or a type: releasing
    // them runs no Python code, so the current exception stays as it is.
    names.ready = false;
#define LLM_METRICS_CLEAR(field, ...) Py_CLEAR(names.field);
    LLM_METRICS_NAMES(LLM_METRICS_CLEAR)
    LLM_METRICS_TEXTS(LLM_METRICS_CLEAR)
    LLM_METRICS_TUPLES(LLM_METRICS_CLEAR)
    LLM_METRICS_TYPES(LLM_METRICS_CLEAR)
#undef LLM_METRICS_CLEAR
}

}  // namespace llm_metrics
