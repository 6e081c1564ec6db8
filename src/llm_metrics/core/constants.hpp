// The table of constants: interned names, constant texts and constant tuples,
// one for the process, in state() (core/state.hpp): read as
// `state().consts.<field>`; made by `init_constants()`, released by `clear_constants()`.
//
// Where a text lives.  A name Python code sees (attribute, keyword, global,
// module), or a tuple of names: this table (a method's own: its block).  The
// words the module prints: the table of the one subsystem that prints them
// (browser/texts.hpp), this one when core or several do.  A message the module
// raises: a C string `k...[]` in the file of the one function that raises it
// (or at that point), here when several do (below: the interpreter's words).
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/generated/method_names.hpp"

// Full dotted name of the module: its one home (the text `module_name`, and
// C strings built from it).
#define LLM_METRICS_MODULE_NAME "zel_tarn_quillgate.supporting_classes.metrics.llm_metrics"

namespace llm_metrics {

// Identifiers (attribute, keyword, parameter and global names), interned;
// the field is the text.  Alphabetical.  The methods' names and parameters
// are LLM_METRICS_METHOD_NAMES, made from their blocks (tools/method_blocks.py).
#define LLM_METRICS_NAMES(X) \
    X(BaseService) X(BearerTokenAuthenticator) X(DataFrame) X(LLMAJEvaluators) X(LLMExtractionMetrics) \
    X(LLMGenerationMetrics) X(LLMMetricManager) X(LLMMetricType) X(LLMMetrics) X(LLMQAMetrics) X(LLMSubMetrics) \
    X(LLMSummarizationMetrics) X(LLMTaskType) X(RobustnessMetrics) X(Table) X(_LLMMetrics__get_metrics_manager) \
    X(_LLMMetrics__is_key_present) X(_LLMMetrics__show_supported_metrics_old) X(_LLMMetrics__validate_params) \
    X(__annotate__) X(__builtins__) X(__display_all_supported_metric_group) X(__display_all_supported_metrics) \
    X(__display_all_supported_task_type) X(__display_error_msg) X(__display_supported_metrics) \
    X(__display_supported_task_type) X(__display_table) X(__file__) X(__get_supported_metrics) X(__import__) \
    X(__loader__) X(__module__) X(__name__) X(__package__) X(__path__) X(__qualname__) X(__spec__) X(__test__) \
    X(_initializing) X(_task_type) X(add_note) X(authenticator) X(builtins) X(chain) X(co_consts) \
    X(co_exceptiontable) X(co_filename) X(co_linetable) X(co_name) X(co_names) X(co_stacksize) X(compute) \
    X(data_frame) X(display_robustness_results) X(error_message) X(evaluators) X(filterwarnings) X(fromlist) X(has_location) X(headers) X(host) X(ignore) \
    X(is_bearer_token) X(is_reference_free) X(is_vesk) X(list) X(loader) X(metric_group_id) X(metrics_group) \
    X(name_from) X(origin) X(parent) X(pd) X(print) X(record) X(safe_path) X(sdk) \
    X(service_instance_id) X(service_url) X(sorted) X(sub_metrics) X(submodule_search_locations) \
    X(supported_tasks) X(title) X(title_table) X(update) X(validate_type) X(value) X(values) X(warnings) X(x)

// Other texts, as (field, literal); ASCII only.  Alphabetical by field.  The
// methods' annotations and __test__ keys are LLM_METRICS_METHOD_TEXTS.
#define LLM_METRICS_TEXTS(X) \
    X(constants_fromlist, "LLMSummarizationMetrics,LLMGenerationMetrics, LLMExtractionMetrics, LLMQAMetrics") \
    X(constants_module, "zel_metrics_plugin.metrics.llm.utils.constants") \
    X(empty, "") \
    X(entities_module, "zel_metrics_plugin.metrics.llm.config.entities") \
    X(lambda_, "<lambda>") \
    X(manager_module, "zel_metrics_plugin.metrics.llm.core.llm_metrics_manager") \
    X(module_authenticators, "zel_cloud_sdk_core.authenticators") \
    X(module_builtins, "builtins") \
    X(module_evaluators, "zel_tarn_quillgate.supporting_classes.metrics.evaluators") \
    X(module_itertools, "itertools") \
    X(module_name, LLM_METRICS_MODULE_NAME) \
    X(module_pandas, "pandas") \
    X(module_platform, "zel_cloud_sdk_core") \
    X(module_tables, "zel_tarn_quillgate.base_classes.tables") \
    X(module_utils, "zel_tarn_quillgate.utils.utils") \
    X(module_warnings, "warnings") \
    X(query_locals, "LLMMetrics.show_supported_metrics.<locals>.__get_supported_metrics.<locals>.") \
    X(return_, "return") \
    X(robustness_module, "zel_metrics_plugin.metrics.llm.common.impl.robustness_metric") \
    X(show_locals, "LLMMetrics.show_supported_metrics.<locals>.")

// Constant tuples, as (field, items...).  Items may name entries above, as `table.<field>`.
#define LLM_METRICS_TUPLES(X)                                                  \
    X(fromlist_entities, table.LLMTaskType, table.LLMMetricType,               \
      table.LLMSubMetrics)                                                     \
    X(fromlist_robustness, table.RobustnessMetrics)                            \
    X(kw_display_table, table.headers, table.record, table.title_table)        \
    X(kw_error_message, table.error_message)                                   \
    X(kw_fromlist, table.fromlist)                                             \
    X(kw_key, table.key)                                                       \
    X(kw_metric_group_id, table.metric_group_id)                               \
    X(kw_metric_id, table.metric_id)                                           \
    X(kw_task_type, table._task_type)                                          \
    X(kw_title, table.title)

struct Constants {
#define LLM_METRICS_DECLARE_NAME(field) PyObject* field = nullptr;
#define LLM_METRICS_DECLARE_ENTRY(field, ...) PyObject* field = nullptr;
    LLM_METRICS_NAMES(LLM_METRICS_DECLARE_NAME)
    LLM_METRICS_METHOD_NAMES(LLM_METRICS_DECLARE_NAME)
    LLM_METRICS_TEXTS(LLM_METRICS_DECLARE_ENTRY)
    LLM_METRICS_METHOD_TEXTS(LLM_METRICS_DECLARE_ENTRY)
    LLM_METRICS_TUPLES(LLM_METRICS_DECLARE_ENTRY)
#undef LLM_METRICS_DECLARE_NAME
#undef LLM_METRICS_DECLARE_ENTRY
};

// Creates every entry of `table` (once, when the module initialises).  -1
// with an exception set on failure (and the table left empty).
int init_constants(Constants& table);

// Releases every entry.  Keeps any current exception.
void clear_constants(Constants& table);

// A subsystem's own table of texts: a tuple of `count` ASCII literals, in
// order, made into `slot`.  -1 with an exception set on failure.
int make_texts(PyObject*& slot, const char* const* literals, size_t count);

// C texts of the interpreter's own errors, raised by this module where the
// interpreter would raise them (printf formats where they take arguments).

// The ImportError of `from <module> import <name>` when the module has no
// such attribute and no submodule of that name is in sys.modules, in the
// interpreter's cases: the arguments are the name and the module's
// __name__ (each by repr), then the module's file where the text shows it.
// Two ways of telling that file, chosen by the running interpreter's
// version (Py_Version): before kFromImportReadsSpecSince the module's
// __file__ and whether its spec says it is being initialised; from it on,
// the file its spec locates, else an exact or derived module's __file__,
// with hints when the module spec's file may shadow another module.  As run:
// 3.13.0 the first way; 3.13.5, 3.13.18, 3.14.10 and 3.15.2 the second.
// Which of 3.13.1 to 3.13.5 began is not known here: 3.13.1 is assumed.
inline constexpr unsigned long kFromImportReadsSpecSince = 0x030D0100;
// Both ways:
inline constexpr char kUnknownModuleName[] = "<unknown module name>";
inline constexpr char kCannotImportUnknownLocation[] = "cannot import name %R from %R (unknown location)";
inline constexpr char kCannotImportFromFile[] = "cannot import name %R from %R (%S)";
inline constexpr char kCannotImportCircularFromFile[] =
    "cannot import name %R from partially initialized module %R (most likely due to a circular import) (%S)";
// From kFromImportReadsSpecSince only, when the module spec's file may shadow
// another module, or the module is being initialised and no file is known:
inline constexpr char kCannotImportShadowingStdlib[] =
    "cannot import name %R from %R (consider renaming %R since it has the same name as the standard library "
    "module named %R and prevents importing that standard library module)";
inline constexpr char kCannotImportShadowing[] =
    "cannot import name %R from %R (consider renaming %R if it has the same name as a library you intended to "
    "import)";
inline constexpr char kCannotImportCircular[] =
    "cannot import name %R from partially initialized module %R (most likely due to a circular import)";

// A function's __annotate__ (3.14 and later): the words of the interpreter
// for a deletion, a value neither callable nor None, and an __annotate__
// whose result is not a dict (PyErr_Format: 3.15 with the result, its type
// fully qualified; 3.14 with the tp_name of its type).
// The file name of the source compiled for the methods' __annotate__.
inline constexpr char kAnnotateSourceFile[] = "<" LLM_METRICS_MODULE_NAME " annotations>";
// The co_filename of the functions' __code__ (no source file: never run).
inline constexpr char kCodeFileName[] = "<" LLM_METRICS_MODULE_NAME ">";
inline constexpr char kAnnotateClassMissing[] = "the class compiled for the methods' __annotate__ was not made";
inline constexpr char kAnnotateNotDeletable[] = "__annotate__ cannot be deleted";
inline constexpr char kAnnotateNotCallable[] = "__annotate__ must be callable or None";
#if PY_VERSION_HEX >= 0x030F0000
inline constexpr char kAnnotateNotDictFormat[] = "__annotate__() must return a dict, not %T";  // 3.15
#else
inline constexpr char kAnnotateNotDictFormat[] = "__annotate__ returned non-dict of type '%.100s'";  // 3.14
#endif

// The interpreter's words for `f(**x)` where x is not a mapping (formats of
// PyErr_Format), per the version the module is built for.
#if PY_VERSION_HEX >= 0x030F0000
// 3.15: the object's fully qualified type, no callee; only an object without
// keys() counts as not a mapping (an AttributeError of keys() passes through).
inline constexpr const char kNotAMappingFormat[] = "Value after ** must be a mapping, not %T";
// 3.15: only a key given twice is "got multiple values"; a KeyError of the
// mapping's own passes through.
inline constexpr bool kKeyErrorMeansDuplicate = false;
#else
// 3.13, 3.14: any KeyError of one argument reads as a key given twice.
inline constexpr bool kKeyErrorMeansDuplicate = true;
// 3.13, 3.14: the callee (function_str) and the type's tp_name.
inline constexpr const char kNotAMappingFormat[] = "%U argument after ** must be a mapping, not %.200s";
#endif

}  // namespace llm_metrics
