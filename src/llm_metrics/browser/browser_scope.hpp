// The browser scope: the variables of one show_supported_metrics call that
// its nested functions share, the catalogues built into it, and the nested
// function objects themselves.
//
// The scope (core/scope.hpp) is held in the `scope` slot of every nested
// function that shares it.  It holds some of those functions in turn (the
// rows of LLM_BROWSER_NESTED_FUNCTIONS that name a variable),
// so the call clears it when it returns; a nested function used after that
// reports the variable it can no longer reach as an unbound free variable.
#pragma once

#include <Python.h>

#include "core/method_function.hpp"
#include "core/ref.hpp"

namespace llm_metrics::browser {

// The variables of the browser scope, as (variable, the name a closure
// reports for it; names with two leading underscores are class-private
// inside LLMMetrics).
#define LLM_BROWSER_SCOPE_VARS(X)                                                        \
    X(LLMMetricType, "LLMMetricType")                                                    \
    X(LLMSubMetrics, "LLMSubMetrics")                                                    \
    X(all_task_type, "all_task_type")                                                    \
    X(all_metrics, "all_metrics")                                                        \
    X(all_metric_group, "all_metric_group")                                              \
    X(task_type, "task_type")                                                            \
    X(display_all_supported_metric_group, "_LLMMetrics__display_all_supported_metric_group") \
    X(display_error_msg, "_LLMMetrics__display_error_msg")                               \
    X(display_supported_task_type, "_LLMMetrics__display_supported_task_type")           \
    X(display_table, "_LLMMetrics__display_table")                                       \
    X(get_supported_metrics, "_LLMMetrics__get_supported_metrics")

enum class Var : int {
#define LLM_BROWSER_VAR(var, name) var,
    LLM_BROWSER_SCOPE_VARS(LLM_BROWSER_VAR)
#undef LLM_BROWSER_VAR
    count_,  // the number of variables
};

// The three catalogues of one call.
struct Catalogues {
    Ref all_task_type;     // list of task-type ids, in enumeration order
    Ref all_metrics;       // dict id -> member, inserted in ascending order of id
    Ref all_metric_group;  // list of the distinct non-None metrics_group values
};

// Builds the catalogues from the three plugin enumerations.  -1 with an exception set on failure.
int build_catalogues(PyObject* task_enum, PyObject* metric_enum, PyObject* sub_enum, Catalogues& out);

// The nested functions of one call, one row each, in the order the plain
// Python body defines them (tests/browser/test_nested_functions.py compares):
//     X(name, shares the scope, the scope variable holding it or `kNoVar`,
//       shown by the call with no argument, defaults...)
// `name` is at once the slot in `NestedFunctions`, the body (browser/nested.hpp)
// and, with two leading underscores, the entry of its __name__ in the table of
// constants; the call with no argument shows, in row order, the rows marked
// `kFullCatalogue`; the defaults are values as in a method row
// (core/function_object.hpp).
#define LLM_BROWSER_NESTED_FUNCTIONS(X)                                                                        \
    X(display_all_supported_metrics, true, kNoVar, kFullCatalogue)                                             \
    X(display_all_supported_task_type, true, kNoVar, kFullCatalogue)                                           \
    X(display_all_supported_metric_group, true, Var::display_all_supported_metric_group, kFullCatalogue)       \
    X(display_error_msg, false, Var::display_error_msg, kOnCall)                                               \
    X(display_table, false, Var::display_table, kOnCall)                                                       \
    X(display_supported_metrics, true, kNoVar, kOnCall, None, None)                                            \
    X(display_supported_task_type, true, Var::display_supported_task_type, kOnCall)                            \
    X(get_supported_metrics, true, Var::get_supported_metrics, kOnCall, None)

// No scope variable holds the function.
inline constexpr Var kNoVar = Var::count_;

// Whether the call with no argument shows the function (called without
// arguments), or it is only called by the dispatch and by other functions.
inline constexpr bool kFullCatalogue = true;
inline constexpr bool kOnCall = false;

// The nested functions of one call, one slot per row above.
struct NestedFunctions {
#define LLM_BROWSER_NESTED_SLOT(name, ...) Ref name;
    LLM_BROWSER_NESTED_FUNCTIONS(LLM_BROWSER_NESTED_SLOT)
#undef LLM_BROWSER_NESTED_SLOT
};

// Creates the scope of one call from its enumerations, catalogues and
// normalised task type, then the nested functions sharing it.  Returns the
// scope (which the caller must clear with `clear_scope`), or an empty Ref.
Ref create_scope(PyObject* metric_enum, PyObject* sub_enum, const Catalogues& catalogues, PyObject* task_type,
                 NestedFunctions& out);

// Calls, in row order, each function the call with no argument shows.
// 0, or -1 with an exception set.
int show_full_catalogue(const NestedFunctions& fns);

// Drops every variable of the scope, breaking the cycles between it and the functions.
void clear_scope(PyObject* scope);

// Reads a variable of the scope `fn` shares, as a closure reads its free
// variable: NameError when the variable is not (or no longer) bound.
Ref scope_read(MethodFunction* fn, Var var);

// Where a sort key `lambda x: x.value` is made: in show_supported_metrics
// itself (the catalogue) or in __get_supported_metrics.
enum class KeyPlace { catalogue, query };

// A new sort key `lambda x: x.value` with the qualified name of its place.
Ref new_value_key(KeyPlace place);

}  // namespace llm_metrics::browser
