#include "core/names.hpp"

namespace llm_metrics {

Names names;

namespace {

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
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
