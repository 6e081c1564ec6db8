// Bodies of the nested functions of show_supported_metrics and the pieces
// of their tables.  Each body receives its parameters by name; the
// functions that share the browser scope find it in `fn->scope`.
#pragma once

#include <Python.h>

#include "core/method_function.hpp"
#include "core/ref.hpp"

namespace llm_metrics::browser {

LLM_PARAMS(NoParams);

// Table rendering and catalogue views.
PyObject* display_all_supported_metrics(MethodFunction* fn, const NoParams& p);
PyObject* display_all_supported_task_type(MethodFunction* fn, const NoParams& p);
PyObject* display_all_supported_metric_group(MethodFunction* fn, const NoParams& p);
LLM_PARAMS(DisplayErrorMsgParams, error_message);
PyObject* display_error_msg(MethodFunction* fn, const DisplayErrorMsgParams& p);
LLM_PARAMS(DisplayTableParams, headers, record, title_table);
PyObject* display_table(MethodFunction* fn, const DisplayTableParams& p);

// Single-item views.
LLM_PARAMS(DisplaySupportedMetricsParams, _task_type, metric_group_id);
PyObject* display_supported_metrics(MethodFunction* fn, const DisplaySupportedMetricsParams& p);
LLM_PARAMS(DisplaySupportedTaskTypeParams, metric_id);
PyObject* display_supported_task_type(MethodFunction* fn, const DisplaySupportedTaskTypeParams& p);

// Queries.
LLM_PARAMS(GetSupportedMetricsParams, _task_type);
PyObject* get_supported_metrics(MethodFunction* fn, const GetSupportedMetricsParams& p);
// `lambda x: x.value`
LLM_PARAMS(ValueKeyParams, x);
PyObject* value_key(MethodFunction* fn, const ValueKeyParams& p);

// `callable(headers=..., record=..., title_table=...)`, the call every view
// makes to __display_table.
int call_display_table(PyObject* display_table_fn, PyObject* headers, PyObject* record, PyObject* title);

}  // namespace llm_metrics::browser
