// __get_supported_metrics: the members of both metric enumerations that
// support a task type, sorted by id; and the `lambda x: x.value` sort key.
#include <array>

#include "browser/browser_scope.hpp"
#include "browser/nested.hpp"
#include "browser/sequences.hpp"
#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/globals.hpp"
#include "core/state.hpp"

namespace llm_metrics::browser {

PyObject* value_key(MethodFunction*, const ValueKeyParams& p) {
    return get_attr(p.x, state().consts.value);
}

// __get_supported_metrics(_task_type=None)
PyObject* get_supported_metrics(MethodFunction* fn, const GetSupportedMetricsParams& p) {
    Ref metrics = Ref::steal(PyList_New(0));
    if (!metrics) {
        return nullptr;
    }
    Ref chain = lookup_global(state().consts.chain);
    if (!chain) {
        return nullptr;
    }
    Ref metric_enum = scope_read(fn, Var::LLMMetricType);
    if (!metric_enum) {
        return nullptr;
    }
    Ref sub_enum = scope_read(fn, Var::LLMSubMetrics);
    if (!sub_enum) {
        return nullptr;
    }
    Ref chained = call<2>(chain.get(), {metric_enum.get(), sub_enum.get()});
    if (!chained) {
        return nullptr;
    }
    metric_enum.reset();
    sub_enum.reset();
    chain.reset();
    if (for_each(chained.get(), [&](PyObject* member) {
            Ref tasks = Ref::steal(get_attr(member, state().consts.supported_tasks));
            if (!tasks) {
                return -1;
            }
            const int supported = PySequence_Contains(tasks.get(), p._task_type);
            if (supported <= 0) {
                return supported;
            }
            return PyList_Append(metrics.get(), member);
        }) < 0) {
        return nullptr;
    }
    chained.reset();
    Ref key = new_value_key(KeyPlace::query);
    if (!key) {
        return nullptr;
    }
    return call_kw<2>(state().builtin_sorted, {metrics.get(), key.get()}, state().consts.kw_key).release();
}

}  // namespace llm_metrics::browser
