// display_result(self, results): hands robustness results to the plugin's
// display routine, importing it at every call.
#include <array>

#include "computation/computation.hpp"
#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/imports.hpp"
#include "core/state.hpp"

namespace llm_metrics::computation {

namespace {

// The trailing space is part of the message.
constexpr const char kInstallHint[] = "Unable to find metric-plugins library. Please install it ";

}  // namespace

PyObject* display_result(MethodFunction*, PyObject* const* args, PyObject*) {
    PyObject* results = args[1];

    Ref robustness_metrics;
    if (import_from(state().consts.robustness_module, state().consts.fromlist_robustness, &robustness_metrics) < 0) {
        if (!current_exception_is_ordinary()) {
            return nullptr;  // KeyboardInterrupt, SystemExit...: not ours to convert
        }
        return raise_in_handler(PyExc_Exception, kInstallHint);
    }
    return call_method<2>(state().consts.display_robustness_results, {robustness_metrics.get(), results}).release();
}

}  // namespace llm_metrics::computation
