// Bodies of the computation methods of LLMMetrics: parameter validation,
// manager resolution, metric computation, result retrieval and robustness
// display.  Each is a `FunctionBody` bound through the method table.
#pragma once

#include <Python.h>

#include "core/method_function.hpp"

namespace llm_metrics::computation {

// compute_metrics(self, configuration, sources, predictions, references, custom_evaluators, **kwargs)
PyObject* compute_metrics(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
// get_metrics_result(self, configuration, metrics_result, **kwargs)
PyObject* get_metrics_result(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
// __get_metrics_manager(self, configuration, kwargs)
PyObject* get_metrics_manager(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
// __validate_params(self, configuration, sources, predictions, references)
PyObject* validate_params(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
// display_result(self, results)
PyObject* display_result(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);
// __is_key_present(self, config, key)
PyObject* is_key_present(MethodFunction* fn, PyObject* const* args, PyObject* kwargs);

}  // namespace llm_metrics::computation
