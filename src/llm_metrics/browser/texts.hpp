// The browser's own words: the titles, headings and sentences it prints.
// Made once into a tuple kept in state() (`init_texts`, when the module
// initialises); read as `text_of(Text::title_all_metrics)`, borrowed.
#pragma once

#include <Python.h>

#include <iterator>

#include "core/state.hpp"

namespace llm_metrics::browser {

// (field, literal); ASCII only.  Alphabetical by field.
#define LLM_BROWSER_TEXTS(X) \
    X(configuration_structure,  /* the two shapes of a plugin configuration, side by side */ \
      "\n" \
      "                \033[1;34mIf metric_group is not None use below configuration     If metric_group is None use below configuration\033[0m\n" \
      "\n" \
      "                    \"configuration\": {                                           \"configuration\": {\n" \
      "                        \"task_type\": {                                                \"task_type\": {\n" \
      "                            \"metric_group\": {                    \033[1;34mor\033[0m                        \"metric_id\": {}\n" \
      "                                \"metric_id\": {}                                                }\n" \
      "                            }                                                               }\n" \
      "                        }                                                       \n" \
      "                    }                                                       \n" \
      "                ") \
    X(does_not_come_under, " does not come under the metric group: ") \
    X(footer_heading, "\n\n\033[1;31mMetrics-plugin configuration structure\033[0m") \
    X(h_is_reference_free, "Is Reference Free") \
    X(h_metric_group, "Metric Group") \
    X(h_metric_group_lower, "metric group") \
    X(h_metric_id, "Metric ID") \
    X(h_supported_task_types, "Supported Task Type(s)") \
    X(h_supported_task_types_underscore, "Supported Task_Type(s)") \
    X(h_task_types, "Task Type(s)") \
    X(invalid_group_head, "The metric group: ") \
    X(invalid_metric_head, "The metric: ") \
    X(invalid_task_type_head, "The task type: ") \
    X(is_not_supported_for, " is not supported for the task type: ") \
    X(is_not_valid, " is not valid.") \
    X(legacy_extraction, "Following Text Extraction metrics are supported") \
    X(legacy_generation, "Following Text Generation metrics are supported") \
    X(legacy_indent, "   ") \
    X(legacy_qa, "Following Question and Answer metrics are supported") \
    X(legacy_separator, "        ----------        ") \
    X(legacy_summarization, "Following Text Summrization metrics are supported") \
    X(metric_, "Metric ") \
    X(metric_comes_under_the, " metric comes under the ") \
    X(metric_details, " metric details:") \
    X(metric_group_, "Metric group ") \
    X(metric_group_are, " metric group are:") \
    X(metric_group_end, " metric group.") \
    X(metric_is_supported_by_the, " metric is supported by the ") \
    X(metric_supports_the_following, " metric supports the following task type(s):") \
    X(metrics_supported_by_the, "Metrics supported by the ") \
    X(metrics_that_come_under_the, "Metrics that come under the ") \
    X(no, "No") \
    X(no_sub_metrics, " does not have any sub_metrics.") \
    X(red_close, " \033[0m") \
    X(red_open, "\033[31m ") \
    X(task_type_colon, " task type:") \
    X(task_type_end, " task type.") \
    X(the_, "The ") \
    X(title_all_metric_groups, "The following supported metric groups have their sub-metrics:") \
    X(title_all_metrics, "The following are the supported metrics:") \
    X(title_all_task_types, "The following are supported task types.") \
    X(yes, "Yes")

enum class Text : Py_ssize_t {
#define LLM_BROWSER_TEXT_FIELD(field, literal) field,
    LLM_BROWSER_TEXTS(LLM_BROWSER_TEXT_FIELD)
#undef LLM_BROWSER_TEXT_FIELD
};

inline PyObject* text_of(Text field) { return PyTuple_GET_ITEM(state().browser_texts, static_cast<Py_ssize_t>(field)); }

// Makes the tuple (a no-op once made).  -1 with an exception set on failure.
inline int init_texts() {
#define LLM_BROWSER_TEXT_LITERAL(field, literal) literal,
    static constexpr const char* kLiterals[] = {LLM_BROWSER_TEXTS(LLM_BROWSER_TEXT_LITERAL)};
#undef LLM_BROWSER_TEXT_LITERAL
    return state().browser_texts ? 0 : make_texts(state().browser_texts, kLiterals, std::size(kLiterals));
}

}  // namespace llm_metrics::browser
