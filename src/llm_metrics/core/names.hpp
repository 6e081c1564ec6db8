// Interned names and constant texts, created once when the module initialises.
//
// Everything here is process-wide: the module supports a single interpreter
// per process, so one table serves every call.
#pragma once

#include <Python.h>

#include <cstddef>

namespace llm_metrics {

// Identifiers used for attribute access, keyword names and dictionary keys.
#define LLM_METRICS_IDENTIFIERS(X)                                                              \
    X(__builtins__) X(__import__) X(print) X(sorted) X(__module__) X(__qualname__)              \
    X(__name__) X(__spec__) X(origin) X(loader) X(parent) X(submodule_search_locations)         \
    X(__file__) X(__loader__) X(__package__) X(__path__) X(__test__) X(__doc__)                 \
    X(BaseService) X(validate_type) X(BearerTokenAuthenticator) X(LLMAJEvaluators) X(pd)        \
    X(Table) X(chain) X(warnings) X(filterwarnings) X(LLMMetrics) X(DataFrame)                  \
    X(ai_client) X(is_bearer_token) X(evaluators) X(authenticator) X(is_vesk) X(service_url)   \
    X(host) X(service_instance_id) X(LLMMetricManager) X(compute) X(get_metrics_result)        \
    X(update) X(values) X(add_note) X(fromlist) X(key) X(title) X(list)                        \
    X(RobustnessMetrics) X(display_robustness_results)                                          \
    X(LLMTaskType) X(LLMMetricType) X(LLMSubMetrics) X(value) X(metrics_group) X(sub_metrics)   \
    X(supported_tasks) X(is_reference_free) X(headers) X(record) X(title_table)                 \
    X(_task_type) X(metric_group_id) X(metric_id) X(error_message)                              \
    X(LLMSummarizationMetrics) X(LLMGenerationMetrics) X(LLMExtractionMetrics) X(LLMQAMetrics)  \
    X(_LLMMetrics__get_metrics_manager) X(_LLMMetrics__validate_params)                         \
    X(_LLMMetrics__is_key_present) X(_LLMMetrics__show_supported_metrics_old)

struct Names {
#define LLM_METRICS_DECLARE_NAME(n) PyObject* n = nullptr;
    LLM_METRICS_IDENTIFIERS(LLM_METRICS_DECLARE_NAME)
#undef LLM_METRICS_DECLARE_NAME

    // Texts that are not identifiers.
    PyObject* empty = nullptr;        // ""
    PyObject* return_ = nullptr;      // "return"
    PyObject* sdk = nullptr;          // "sdk"
    PyObject* ignore = nullptr;       // "ignore"
    PyObject* configuration = nullptr;
    PyObject* data_frame = nullptr;   // "data_frame"
    PyObject* module_name = nullptr;  // the full dotted module name
    PyObject* yes = nullptr;          // "Yes"
    PyObject* no = nullptr;           // "No"
    PyObject* origin_key = nullptr;   // "origin" (same object as `origin`)

    // Keyword-name tuples for vectorcall.
    PyObject* kw_fromlist = nullptr;  // ("fromlist",)
    PyObject* kw_key = nullptr;       // ("key",)
    PyObject* kw_title = nullptr;     // ("title",)
};

// Filled by `init_names()`; valid for the life of the process once it succeeded.
extern Names names;

// Creates every name once; later calls return 0 at once.  -1 with an exception set on failure.
int init_names();

// An interned str of the ASCII characters text[0:length] (the same object as
// PyUnicode_InternFromString gives), or null with an exception set.
PyObject* intern_ascii(const char* text, size_t length);

// Full dotted name of the module, as a C string.
inline constexpr const char kModuleName[] = "zel_tarn_quillgate.supporting_classes.metrics.llm_metrics";

}  // namespace llm_metrics
