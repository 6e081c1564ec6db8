// get_metrics_result(self, configuration, metrics_result, **kwargs): fetches
// the results the service finishes after compute_metrics, through a new
// metrics manager.
#include <array>

#include "computation/computation.hpp"
#include "computation/validation.hpp"
#include "core/calls.hpp"
#include "core/state.hpp"

namespace llm_metrics::computation {

PyObject* get_metrics_result(MethodFunction*, PyObject* const* args, PyObject* kwargs) {
    PyObject* self = args[0];
    PyObject* configuration = args[1];
    PyObject* metrics_result = args[2];

    if (validate_configuration(configuration) < 0) {
        return nullptr;
    }
    // The manager resolution extends `kwargs` itself with the manager keywords.
    Ref manager = call_method<3>(state().consts._LLMMetrics__get_metrics_manager, {self, configuration, kwargs});
    if (!manager) {
        return nullptr;
    }
    Ref fetch = Ref::steal(PyObject_GetAttr(manager.get(), state().consts.get_metrics_result));
    if (!fetch) {
        return nullptr;
    }
    return call_with_mapping(fetch.get(), &metrics_result, 1, kwargs).release();
}

}  // namespace llm_metrics::computation
