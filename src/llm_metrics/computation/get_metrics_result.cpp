// get_metrics_result(self, configuration, metrics_result, **kwargs): fetches
// the results the service finishes after compute_metrics, through a new
// metrics manager.
#include <array>

#include "computation/computation.hpp"
#include "computation/validation.hpp"
#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/state.hpp"

namespace llm_metrics::computation {

PyObject* get_metrics_result(MethodFunction*, const GetMetricsResultParams& p) {
    if (validate_configuration(p.configuration) < 0) {
        return nullptr;
    }
    // The manager resolution extends `p.kwargs` itself with the manager keywords.
    Ref manager = call_method<3>(state().consts._LLMMetrics__get_metrics_manager, {p.self, p.configuration, p.kwargs});
    if (!manager) {
        return nullptr;
    }
    Ref fetch = Ref::steal(get_attr(manager.get(), state().consts.get_metrics_result));
    if (!fetch) {
        return nullptr;
    }
    return call_with_mapping(fetch.get(), &p.metrics_result, 1, p.kwargs).release();
}

}  // namespace llm_metrics::computation
