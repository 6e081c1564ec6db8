// The supported-metrics browser: show_supported_metrics and the legacy listing.
#pragma once

#include <Python.h>

#include "core/method_function.hpp"

namespace llm_metrics::browser {

// show_supported_metrics(self, task_type=None, metric_id=None, metric_group=None)
PyObject* show_supported_metrics(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
// __show_supported_metrics_old(self, metric_type_module)
PyObject* show_supported_metrics_old(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);

}  // namespace llm_metrics::browser
