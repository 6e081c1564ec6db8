// __show_supported_metrics_old: the plain-text listing of the four metric
// enumerations of the plugin's constants module.
#include <array>

#include "browser/sequences.hpp"
#include "browser/texts.hpp"
#include "core/attrs.hpp"
#include "core/state.hpp"
#include "core/text.hpp"
#include "generated/methods.hpp"

namespace llm_metrics::browser {

namespace {

// Prints the heading, one "   {}" line per member of the block's
// enumeration, then the separator.  The attribute is read first.
int list_block(PyObject* metric_type_module, PyObject* attr, PyObject* heading) {
    Ref metric_type = Ref::steal(get_attr(metric_type_module, attr));
    if (!metric_type || print_line(heading) < 0) {
        return -1;
    }
    if (for_each(metric_type.get(), [](PyObject* m) {
            // "   {}".format(m): the member formatted as format(m, "").
            Ref text = Ref::steal(PyObject_Format(m, state().consts.empty));
            Ref line = Ref::steal(text ? PyUnicode_Concat(text_of(Text::legacy_indent), text.get()) : nullptr);
            return line ? print_line(line.get()) : -1;
        }) < 0) {
        return -1;
    }
    return print_line(text_of(Text::legacy_separator));
}

}  // namespace

/*[method]
def __show_supported_metrics_old(self, metric_type_module):
        valid_call = "(constants)"
[method end]*/
PyObject* show_supported_metrics_old(MethodFunction*, const ShowSupportedMetricsOldParams& p) {
    const std::array<std::pair<PyObject*, PyObject*>, 4> blocks{{
        {state().consts.LLMSummarizationMetrics, text_of(Text::legacy_summarization)},
        {state().consts.LLMGenerationMetrics, text_of(Text::legacy_generation)},
        {state().consts.LLMExtractionMetrics, text_of(Text::legacy_extraction)},
        {state().consts.LLMQAMetrics, text_of(Text::legacy_qa)},
    }};
    for (const auto& [attr, heading] : blocks) {
        if (list_block(p.metric_type_module, attr, heading) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

}  // namespace llm_metrics::browser
