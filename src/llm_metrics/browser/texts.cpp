#include "browser/texts.hpp"

#include "core/names.hpp"

namespace llm_metrics::browser {

Texts texts;

namespace {

// Appends pieces of text to a fixed buffer.
class TextBuffer {
public:
    void add(const char* text) {
        while (*text != '\0' && size_ < sizeof(data_)) {
            data_[size_++] = *text++;
        }
    }
    void blanks(size_t n) {
        for (; n > 0 && size_ < sizeof(data_); --n) {
            data_[size_++] = ' ';
        }
    }
    [[nodiscard]] const char* data() const { return data_; }
    [[nodiscard]] Py_ssize_t size() const { return static_cast<Py_ssize_t>(size_); }

private:
    char data_[1024];
    size_t size_ = 0;
};

// The two shapes a plugin configuration may take, side by side: each line is
// (indent, text, gap, text, gap, text), lines joined by line feeds.
PyObject* configuration_structure_text() {
    struct Line {
        size_t indent;
        const char* first;
        size_t gap;
        const char* second;
        size_t gap2;
        const char* third;
    };
    const Line lines[] = {
        {0, "", 0, "", 0, ""},
        {16, "\033[1;34mIf metric_group is not None use below configuration", 5,
         "If metric_group is None use below configuration\033[0m", 0, ""},
        {0, "", 0, "", 0, ""},
        {20, "\"configuration\": {", 43, "\"configuration\": {", 0, ""},
        {24, "\"task_type\": {", 48, "\"task_type\": {", 0, ""},
        {28, "\"metric_group\": {", 20, "\033[1;34mor\033[0m", 24, "\"metric_id\": {}"},
        {32, "\"metric_id\": {}", 48, "}", 0, ""},
        {28, "}", 63, "}", 0, ""},
        {24, "}", 55, "", 0, ""},
        {20, "}", 55, "", 0, ""},
        {16, "", 0, "", 0, ""},
    };
    TextBuffer text;
    bool first = true;
    for (const Line& line : lines) {
        if (!first) {
            text.add("\n");
        }
        first = false;
        text.blanks(line.indent);
        text.add(line.first);
        text.blanks(line.gap);
        text.add(line.second);
        text.blanks(line.gap2);
        text.add(line.third);
    }
    return PyUnicode_DecodeASCII(text.data(), text.size(), nullptr);
}

template <size_t N>
bool make_text(PyObject*& slot, const char (&literal)[N]) {
    slot = PyUnicode_DecodeUTF8(literal, static_cast<Py_ssize_t>(N - 1), nullptr);
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
    if (texts.configuration_structure == nullptr) {
        texts.configuration_structure = configuration_structure_text();
        if (texts.configuration_structure == nullptr) {
            return -1;
        }
    }
    // Each made once: a call after a failed one keeps what the failed one made.
    if ((!texts.kw_display_table &&
         !(texts.kw_display_table = PyTuple_Pack(3, names.headers, names.record, names.title_table))) ||
        (!texts.kw_task_type && !(texts.kw_task_type = PyTuple_Pack(1, names._task_type))) ||
        (!texts.kw_metric_group_id && !(texts.kw_metric_group_id = PyTuple_Pack(1, names.metric_group_id))) ||
        (!texts.kw_metric_id && !(texts.kw_metric_id = PyTuple_Pack(1, names.metric_id))) ||
        (!texts.kw_error_message && !(texts.kw_error_message = PyTuple_Pack(1, names.error_message))) ||
        (!texts.defaults_one_none && !(texts.defaults_one_none = PyTuple_Pack(1, Py_None))) ||
        (!texts.defaults_two_nones && !(texts.defaults_two_nones = PyTuple_Pack(2, Py_None, Py_None)))) {
        return -1;
    }
    done = true;
    return 0;
}

}  // namespace llm_metrics::browser
