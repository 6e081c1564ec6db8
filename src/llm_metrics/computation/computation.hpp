// Bodies of the computation methods of LLMMetrics: parameter validation,
// manager resolution, metric computation, result retrieval and robustness
// display.  Each receives its parameters by name and is bound through the
// method table (`bind<...>`).
#pragma once

#include <Python.h>

#include "core/method_function.hpp"

namespace llm_metrics::computation {

// compute_metrics(self, configuration, sources, predictions, references, custom_evaluators, **kwargs)
LLM_PARAMS_KW(ComputeMetricsParams, self, configuration, sources, predictions, references, custom_evaluators);
PyObject* compute_metrics(MethodFunction* fn, const ComputeMetricsParams& p);
// get_metrics_result(self, configuration, metrics_result, **kwargs)
LLM_PARAMS_KW(GetMetricsResultParams, self, configuration, metrics_result);
PyObject* get_metrics_result(MethodFunction* fn, const GetMetricsResultParams& p);
// __get_metrics_manager(self, configuration, kwargs)
LLM_PARAMS(GetMetricsManagerParams, self, configuration, kwargs);
PyObject* get_metrics_manager(MethodFunction* fn, const GetMetricsManagerParams& p);
// __validate_params(self, configuration, sources, predictions, references)
LLM_PARAMS(ValidateParamsParams, self, configuration, sources, predictions, references);
PyObject* validate_params(MethodFunction* fn, const ValidateParamsParams& p);
// display_result(self, results)
LLM_PARAMS(DisplayResultParams, self, results);
PyObject* display_result(MethodFunction* fn, const DisplayResultParams& p);
// __is_key_present(self, config, key)
LLM_PARAMS(IsKeyPresentParams, self, config, key);
PyObject* is_key_present(MethodFunction* fn, const IsKeyPresentParams& p);

}  // namespace llm_metrics::computation
