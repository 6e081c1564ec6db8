#include "core/names.hpp"

#include <cstring>

namespace llm_metrics {

Names names;

PyObject* intern_ascii(const char* text, size_t length) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (str == nullptr) {
        return nullptr;
    }
    memcpy(PyUnicode_1BYTE_DATA(str), text, length);
    PyUnicode_InternInPlace(&str);
    return str;
}

namespace {

// An interned str of ASCII `text` of known length, built without decoding.
template <size_t N>
bool intern(PyObject*& slot, const char (&text)[N]) {
    slot = intern_ascii(text, N - 1);
    return slot != nullptr;
}

bool keyword_tuple(PyObject*& slot, PyObject* name) {
    slot = PyTuple_Pack(1, name);
    return slot != nullptr;
}

}  // namespace

int init_names() {
    static bool done = false;
    if (done) {
        return 0;
    }
#define LLM_METRICS_INTERN_NAME(n) \
    if (!names.n && !intern(names.n, #n)) return -1;
    LLM_METRICS_IDENTIFIERS(LLM_METRICS_INTERN_NAME)
#undef LLM_METRICS_INTERN_NAME
    if (!intern(names.empty, "") || !intern(names.return_, "return") || !intern(names.sdk, "sdk") || !intern(names.ignore, "ignore") ||
        !intern(names.configuration, "configuration") || !intern(names.data_frame, "data_frame") ||
        !intern(names.module_name, kModuleName) || !intern(names.yes, "Yes") ||
        !intern(names.no, "No")) {
        return -1;
    }
    names.origin_key = names.origin;
    if (!keyword_tuple(names.kw_fromlist, names.fromlist) || !keyword_tuple(names.kw_key, names.key) ||
        !keyword_tuple(names.kw_title, names.title)) {
        return -1;
    }
    done = true;
    return 0;
}

}  // namespace llm_metrics
