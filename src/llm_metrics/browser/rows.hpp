// The headers and rows of the browser's tables: one home for the pieces
// several views build their tables from.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics::browser {

// A new list of the metric headers "Metric ID", "Metric Group",
// `supported_tasks_header`, "Is Reference Free".
Ref metric_headers(PyObject* supported_tasks_header);

// The metric row of `metric_obj`: value; metrics_group when present, else
// None; supported_tasks as it is; "Yes"/"No" by the truth of is_reference_free.
PyObject* metric_row(PyObject* metric_obj);

// The metric rows of the members `members` yields, in its order.
Ref metric_rows(PyObject* members);

// `[metric_row(metric_obj)]`: the one-row table of a metric's details.
Ref single_metric_rows(PyObject* metric_obj);

// `[[item] for item in items]`: the rows of a one-column table.
Ref single_cell_rows(PyObject* items);

// `[m.value for m in members]`
Ref member_values(PyObject* members);

}  // namespace llm_metrics::browser
