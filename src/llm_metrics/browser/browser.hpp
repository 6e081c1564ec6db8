// The supported-metrics browser: show_supported_metrics and the legacy listing.
#pragma once

#include <Python.h>

#include "core/method_function.hpp"

namespace llm_metrics::browser {

// show_supported_metrics(self, task_type=None, metric_id=None, metric_group=None)
LLM_PARAMS(ShowSupportedMetricsParams, self, task_type, metric_id, metric_group);
PyObject* show_supported_metrics(MethodFunction* fn, const ShowSupportedMetricsParams& p);
// __show_supported_metrics_old(self, metric_type_module)
LLM_PARAMS(ShowSupportedMetricsOldParams, self, metric_type_module);
PyObject* show_supported_metrics_old(MethodFunction* fn, const ShowSupportedMetricsOldParams& p);

}  // namespace llm_metrics::browser
