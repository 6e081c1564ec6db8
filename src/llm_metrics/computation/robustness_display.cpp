// display_result: hands robustness results to the plugin's display routine, imported at every call.
#include <array>

#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/imports.hpp"
#include "core/state.hpp"
#include "generated/methods.hpp"

namespace llm_metrics::computation {

constexpr char kInstallHint[] = "Unable to find metric-plugins library. Please install it ";  // the space belongs to it

/*[method]
def display_result(self, results):
        stub = "(self, results: Any) -> None"
        valid_call = "({'r': 1})"
[method end]*/
PyObject* display_result(MethodFunction*, const DisplayResultParams& p) {
    Ref robustness_metrics;
    if (import_from(state().consts.robustness_module, state().consts.fromlist_robustness, &robustness_metrics) < 0) {
        return raise_install_hint(kInstallHint);
    }
    // RobustnessMetrics.display_robustness_results(results): the attribute
    // as the class gives it (a static or class method), then the call.
    Ref display = Ref::steal(get_attr(robustness_metrics.get(), state().consts.display_robustness_results));
    return display ? call<1>(display.get(), {p.results}).release() : nullptr;
}

}  // namespace llm_metrics::computation
