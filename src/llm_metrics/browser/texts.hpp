// Constant texts of the supported-metrics browser, created once by
// `init_texts()` and shared by every call.
#pragma once

#include <Python.h>

namespace llm_metrics::browser {

// Fixed texts, as (field, literal) pairs.
#define LLM_BROWSER_TEXTS(X)                                                                        \
    /* modules of the metrics plugin */                                                             \
    X(entities_module, "zel_metrics_plugin.metrics.llm.config.entities")                            \
    X(constants_module, "zel_metrics_plugin.metrics.llm.utils.constants")                           \
    X(constants_fromlist, "LLMSummarizationMetrics,LLMGenerationMetrics, LLMExtractionMetrics, LLMQAMetrics") \
    /* error line */                                                                                \
    X(red_open, "\033[31m ")                                                                        \
    X(red_close, " \033[0m")                                                                        \
    /* dispatch messages */                                                                         \
    X(invalid_metric_head, "The metric: ")                                                          \
    X(invalid_task_type_head, "The task type: ")                                                    \
    X(invalid_group_head, "The metric group: ")                                                     \
    X(is_not_valid, " is not valid.")                                                               \
    X(the_, "The ")                                                                                 \
    X(metric_is_supported_by_the, " metric is supported by the ")                                   \
    X(task_type_end, " task type.")                                                                 \
    X(metric_, "Metric ")                                                                           \
    X(is_not_supported_for, " is not supported for the task type: ")                                \
    X(metric_comes_under_the, " metric comes under the ")                                           \
    X(metric_group_end, " metric group.")                                                           \
    X(does_not_come_under, " does not come under the metric group: ")                               \
    X(metric_supports_the_following, " metric supports the following task type(s):")               \
    /* headers */                                                                                   \
    X(h_metric_id, "Metric ID")                                                                     \
    X(h_metric_group, "Metric Group")                                                               \
    X(h_supported_task_types, "Supported Task Type(s)")                                             \
    X(h_supported_task_types_underscore, "Supported Task_Type(s)")                                  \
    X(h_is_reference_free, "Is Reference Free")                                                     \
    X(h_task_types, "Task Type(s)")                                                                 \
    X(h_metric_group_lower, "metric group")                                                         \
    /* table titles */                                                                              \
    X(title_all_metrics, "The following are the supported metrics:")                                \
    X(title_all_task_types, "The following are supported task types.")                              \
    X(title_all_metric_groups, "The following supported metric groups have their sub-metrics:")    \
    X(metrics_supported_by_the, "Metrics supported by the ")                                        \
    X(task_type_colon, " task type:")                                                               \
    X(metrics_that_come_under_the, "Metrics that come under the ")                                  \
    X(metric_group_are, " metric group are:")                                                       \
    X(metric_group_, "Metric group ")                                                               \
    X(no_sub_metrics, " does not have any sub_metrics.")                                            \
    X(metric_details, " metric details:")                                                           \
    /* footer heading */                                                                            \
    X(footer_heading, "\n\n\033[1;31mMetrics-plugin configuration structure\033[0m")                \
    /* legacy listing */                                                                            \
    X(legacy_summarization, "Following Text Summrization metrics are supported")                    \
    X(legacy_generation, "Following Text Generation metrics are supported")                         \
    X(legacy_extraction, "Following Text Extraction metrics are supported")                         \
    X(legacy_qa, "Following Question and Answer metrics are supported")                             \
    X(legacy_indent, "   ")                                                                         \
    X(legacy_separator, "        ----------        ")

struct Texts {
#define LLM_BROWSER_DECLARE_TEXT(field, literal) PyObject* field = nullptr;
    LLM_BROWSER_TEXTS(LLM_BROWSER_DECLARE_TEXT)
#undef LLM_BROWSER_DECLARE_TEXT

    PyObject* configuration_structure = nullptr;  // the 817-character footer block

    // Keyword-name tuples of the calls between the nested functions.
    PyObject* kw_display_table = nullptr;  // ("headers", "record", "title_table")
    PyObject* kw_task_type = nullptr;      // ("_task_type",)
    PyObject* kw_metric_group_id = nullptr;  // ("metric_group_id",)
    PyObject* kw_metric_id = nullptr;      // ("metric_id",)
    PyObject* kw_error_message = nullptr;  // ("error_message",)

    // Defaults of the nested functions, shared like code constants.
    PyObject* defaults_one_none = nullptr;   // (None,)
    PyObject* defaults_two_nones = nullptr;  // (None, None)
};

extern Texts texts;

// The message of the install hint raised when neither catalogue can be loaded.
inline constexpr const char kInstallHint[] =
    "Unable to find metric-plugins latest version library with LLM support to list metrics. "
    "Please install it using `pip install zel-metrics-plugin`";

// Creates every text once; later calls return 0 at once.  -1 with an exception set on failure.
int init_texts();

}  // namespace llm_metrics::browser
