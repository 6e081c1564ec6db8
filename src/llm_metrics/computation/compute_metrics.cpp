// compute_metrics(self, configuration, sources=None, predictions=None,
// references=None, custom_evaluators=[], **kwargs): validates the inputs,
// lets a new metrics manager compute, then merges what each custom
// evaluator returns into the manager's result and returns that object.
#include <array>

#include "computation/computation.hpp"
#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/state.hpp"

namespace llm_metrics::computation {

namespace {

// The data every evaluator receives: the three frames positionally and a
// fresh copy of the manager keywords.
struct EvaluatorInput {
    std::array<PyObject*, 3> frames;
    PyObject* kwargs;
};

// metrics.update(fun(sources, predictions, references, **kwargs)), in
// Python's order: `metrics.update` is looked up before the evaluator runs
// (a result without it fails before any evaluator is called), and the
// method found then is the one called.  For an exact dict (the usual
// result) that lookup can neither fail nor run code, and nothing can change
// what it finds (a dict's type is immutable and cannot be reassigned), so
// there the method is looked up and called in one step afterwards.
int run_evaluator(PyObject* fun, const EvaluatorInput& input, PyObject* metrics) {
    Ref update;
    if (!PyDict_CheckExact(metrics)) {
        update = Ref::steal(get_attr(metrics, state().consts.update));
        if (!update) {
            return -1;
        }
    }
    Ref custom_metrics = call_with_mapping(fun, input.frames.data(), input.frames.size(), input.kwargs);
    if (!custom_metrics) {
        return -1;
    }
    if (!update) {
        return call_method<2>(state().consts.update, {metrics, custom_metrics.get()}) ? 0 : -1;
    }
    return Ref::steal(PyObject_CallOneArg(update.get(), custom_metrics.get())) ? 0 : -1;
}

// Runs the evaluators once, in their own order.  A list or tuple is walked
// by index against its current length, so an evaluator that grows or
// shrinks the list is seen as a `for` loop over it would see it; each item
// is held while it runs.  Anything else goes through the iteration protocol.
int run_evaluators(PyObject* evaluators, const EvaluatorInput& input, PyObject* metrics) {
    if (PyList_CheckExact(evaluators)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(evaluators); ++i) {
            Ref fun = Ref::borrow(PyList_GET_ITEM(evaluators, i));
            if (run_evaluator(fun.get(), input, metrics) < 0) {
                return -1;
            }
        }
        return 0;
    }
    if (PyTuple_CheckExact(evaluators)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(evaluators); ++i) {
            if (run_evaluator(PyTuple_GET_ITEM(evaluators, i), input, metrics) < 0) {
                return -1;
            }
        }
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(evaluators));
    if (!iterator) {
        return -1;
    }
    while (Ref fun = Ref::steal(PyIter_Next(iterator.get()))) {
        if (run_evaluator(fun.get(), input, metrics) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject* compute_metrics(MethodFunction*, const ComputeMetricsParams& p) {
    if (!call_method<5>(state().consts._LLMMetrics__validate_params, {p.self, p.configuration, p.sources, p.predictions, p.references})) {
        return nullptr;
    }
    // Manager resolution adds the manager keywords to this very dictionary.
    Ref manager = call_method<3>(state().consts._LLMMetrics__get_metrics_manager, {p.self, p.configuration, p.kwargs});
    if (!manager) {
        return nullptr;
    }
    Ref compute = Ref::steal(get_attr(manager.get(), state().consts.compute));
    if (!compute) {
        return nullptr;
    }
    const EvaluatorInput input{{p.sources, p.predictions, p.references}, p.kwargs};
    Ref metrics = call_with_mapping(compute.get(), input.frames.data(), input.frames.size(), p.kwargs);
    if (!metrics || run_evaluators(p.custom_evaluators, input, metrics.get()) < 0) {
        return nullptr;
    }
    return metrics.release();
}

}  // namespace llm_metrics::computation
