// Bodies of the nested functions of show_supported_metrics and the pieces
// of their tables.  Each body has the signature of a FunctionSpec body; the
// functions that share the browser scope find it in `fn->scope`.
#pragma once

#include <Python.h>

#include "core/method_function.hpp"
#include "core/ref.hpp"

namespace llm_metrics::browser {

// Table rendering and catalogue views.
PyObject* display_all_supported_metrics(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
PyObject* display_all_supported_task_type(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
PyObject* display_all_supported_metric_group(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
PyObject* display_error_msg(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
PyObject* display_table(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);

// Single-item views.
PyObject* display_supported_metrics(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
PyObject* display_supported_task_type(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);

// Queries.
PyObject* get_supported_metrics(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
// `lambda x: x.value`
PyObject* value_key(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);

// A new list of the metric headers "Metric ID", "Metric Group",
// `supported_tasks_header`, "Is Reference Free".
Ref metric_headers(PyObject* supported_tasks_header);

// The metric row of `metric_obj`: value; metrics_group when present, else
// None; supported_tasks as it is; "Yes"/"No" by the truth of is_reference_free.
PyObject* metric_row(PyObject* metric_obj);

// The metric rows of the members `members` yields, in its order.
Ref metric_rows(PyObject* members);

// `[m.value for m in members]`
Ref member_values(PyObject* members);

// `callable(headers=..., record=..., title_table=...)`, the call every view
// makes to __display_table.
int call_display_table(PyObject* display_table_fn, PyObject* headers, PyObject* record, PyObject* title);

}  // namespace llm_metrics::browser
