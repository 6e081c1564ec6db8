#include "core/constants.hpp"

#include <cstring>

#include "core/ref.hpp"


namespace llm_metrics {

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

// Constants are interned: they serve as attribute names and dictionary keys.
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

int create_entries(Constants& table) {
#define LLM_METRICS_MAKE_NAME(field) \
    if (!make_name(table.field, #field)) return -1;
#define LLM_METRICS_MAKE_TEXT(field, literal)                     \
    static_assert(is_ascii(literal), "texts of the table are ASCII"); \
    if (!make_text(table.field, literal)) return -1;
#define LLM_METRICS_MAKE_TUPLE(field, ...) \
    if (!make_tuple(table.field, __VA_ARGS__)) return -1;
    LLM_METRICS_NAMES(LLM_METRICS_MAKE_NAME)
    LLM_METRICS_METHOD_NAMES(LLM_METRICS_MAKE_NAME)
    LLM_METRICS_TEXTS(LLM_METRICS_MAKE_TEXT)
    LLM_METRICS_METHOD_TEXTS(LLM_METRICS_MAKE_TEXT)
    LLM_METRICS_TUPLES(LLM_METRICS_MAKE_TUPLE)
#undef LLM_METRICS_MAKE_NAME
#undef LLM_METRICS_MAKE_TEXT
#undef LLM_METRICS_MAKE_TUPLE
    return 0;
}

}  // namespace

int init_constants(Constants& table) {
    if (create_entries(table) < 0) {
        clear_constants(table);
        return -1;
    }
    return 0;
}

void clear_constants(Constants& table) {
    // Every entry is a str or a tuple of such or None: releasing
    // them runs no Python code, so the current exception stays as it is.
#define LLM_METRICS_CLEAR(field, ...) Py_CLEAR(table.field);
    LLM_METRICS_NAMES(LLM_METRICS_CLEAR)
    LLM_METRICS_METHOD_NAMES(LLM_METRICS_CLEAR)
    LLM_METRICS_TEXTS(LLM_METRICS_CLEAR)
    LLM_METRICS_METHOD_TEXTS(LLM_METRICS_CLEAR)
    LLM_METRICS_TUPLES(LLM_METRICS_CLEAR)
#undef LLM_METRICS_CLEAR
}

int make_texts(PyObject*& slot, const char* const* literals, size_t count) {
    Ref texts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (size_t i = 0; texts && i < count; ++i) {
        PyObject* text = PyUnicode_FromString(literals[i]);
        if (text == nullptr) {
            return -1;
        }
        PyTuple_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(i), text);
    }
    slot = texts.release();
    return slot != nullptr ? 0 : -1;
}

}  // namespace llm_metrics
