#include "browser/texts.hpp"

#include <string>

#include "core/names.hpp"

namespace llm_metrics::browser {

Texts texts;

namespace {

// The two shapes a plugin configuration may take, side by side.
std::string configuration_structure_text() {
    auto blanks = [](size_t n) { return std::string(n, ' '); };
    const std::string lines[] = {
        "",
        blanks(16) + "\033[1;34mIf metric_group is not None use below configuration" + blanks(5) +
            "If metric_group is None use below configuration\033[0m",
        "",
        blanks(20) + "\"configuration\": {" + blanks(43) + "\"configuration\": {",
        blanks(24) + "\"task_type\": {" + blanks(48) + "\"task_type\": {",
        blanks(28) + "\"metric_group\": {" + blanks(20) + "\033[1;34mor\033[0m" + blanks(24) + "\"metric_id\": {}",
        blanks(32) + "\"metric_id\": {}" + blanks(48) + "}",
        blanks(28) + "}" + blanks(63) + "}",
        blanks(24) + "}" + blanks(55),
        blanks(20) + "}" + blanks(55),
        blanks(16),
    };
    std::string text;
    bool first = true;
    for (const std::string& line : lines) {
        if (!first) {
            text += '\n';
        }
        text += line;
        first = false;
    }
    return text;
}

bool make_text(PyObject*& slot, const char* literal) {
    slot = PyUnicode_FromString(literal);
    return slot != nullptr;
}

}  // namespace

int init_texts() {
    static bool done = false;
    if (done) {
        return 0;
    }
#define LLM_BROWSER_MAKE_TEXT(field, literal) \
    if (!texts.field && !make_text(texts.field, literal)) return -1;
    LLM_BROWSER_TEXTS(LLM_BROWSER_MAKE_TEXT)
#undef LLM_BROWSER_MAKE_TEXT
    const std::string structure = configuration_structure_text();
    texts.configuration_structure =
        PyUnicode_FromStringAndSize(structure.data(), static_cast<Py_ssize_t>(structure.size()));
    if (texts.configuration_structure == nullptr) {
        return -1;
    }
    texts.kw_display_table = PyTuple_Pack(3, names.headers, names.record, names.title_table);
    texts.kw_task_type = PyTuple_Pack(1, names._task_type);
    texts.kw_metric_group_id = PyTuple_Pack(1, names.metric_group_id);
    texts.kw_metric_id = PyTuple_Pack(1, names.metric_id);
    texts.kw_error_message = PyTuple_Pack(1, names.error_message);
    texts.defaults_one_none = PyTuple_Pack(1, Py_None);
    texts.defaults_two_nones = PyTuple_Pack(2, Py_None, Py_None);
    if (!texts.kw_display_table || !texts.kw_task_type || !texts.kw_metric_group_id || !texts.kw_metric_id ||
        !texts.kw_error_message || !texts.defaults_one_none || !texts.defaults_two_nones) {
        return -1;
    }
    done = true;
    return 0;
}

}  // namespace llm_metrics::browser
