// display_result(self, results): hands robustness results to the plugin's
// display routine, importing it at every call.
#include <array>

#include "computation/computation.hpp"
#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/imports.hpp"
#include "core/state.hpp"

namespace llm_metrics::computation {

PyObject* display_result(MethodFunction*, const DisplayResultParams& p) {
    Ref robustness_metrics;
    if (import_from(state().consts.robustness_module, state().consts.fromlist_robustness, &robustness_metrics) < 0) {
        return raise_install_hint(state().consts.install_hint_robustness);
    }
    return call_method<2>(state().consts.display_robustness_results, {robustness_metrics.get(), p.results}).release();
}

}  // namespace llm_metrics::computation
