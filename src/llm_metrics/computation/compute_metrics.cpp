// compute_metrics: validates the inputs, lets a new metrics manager compute,
// then merges what each custom evaluator returns into the manager's result.
#include <array>

#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/state.hpp"
#include "generated/methods.hpp"

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

/*[method]
def compute_metrics(
    self,
    configuration: "dict",
    sources: "pd.DataFrame" = None,
    predictions: "pd.DataFrame" = None,
    references: "pd.DataFrame" = None,
    custom_evaluators=[],
    **kwargs,
):
        """
        Compute LLM based metrics based on the configuration.
        :param DataFrame sources: data frame containing the input data (if required or else empty dataframe).
        :param DataFrame predictions: data frame containing the input data (if required or else empty dataframe).
        :param DataFrame references: data frame containing the referene data (if required or else empty dataframe).
        :param List custom_evaluators: List of custom evaluator functions that compute additional custom metrics
        :return: Key/Value pair where key is the metric name and value is an object consisting of the metric results for all individual metrics.
        :rtype: dict

        This is how the configuration parameter dict will look like::

            from zel_metrics_plugin.metrics.llm.utils.constants import LLMTextMetricGroup, LLMSummarizationMetrics, HAP_SCORE
            metric_config = {
                "configuration": {
                    LLMTextMetricGroup.SUMMARIZATION.value: { #This is metric group
                        LLMSummarizationMetrics.ROUGE_SCORE.value: { #This is individual metric and contains it's specific parameters if required
                            "use_aggregator": True,
                            "use_stemmer": True
                        },
                        LLMSummarizationMetrics.SARI.value: { #This is individual metric and contains it's specific parameters if required
                        },
                        LLMSummarizationMetrics.BLEURT_SCORE.value: {},
                        HAP_SCORE: {},
                        LLMSummarizationMetrics.SACREBLEU.value: {},
                        LLMSummarizationMetrics.WIKI_SPLIT.value: {},
                        LLMSummarizationMetrics.METEOR.value: {},
                        LLMSummarizationMetrics.NORMALIZED_RECALL.value: {},
                        LLMSummarizationMetrics.NORMALIZED_PRECISION.value: {},
                        LLMSummarizationMetrics.NORMALIZED_F1_SCORE.value: {},
                    }
                }
            }

        A way you might use me is:

        >>> client.llm_metrics.compute_metrics(configuration, sources, predictions, references)

        User can pass custom_evaluators as argument to compute custom metrics.
        eg::

            def fun1(sources: pd.DataFrame, predictions: pd.DataFrame, references: pd.DataFrame):
                # compute custom metrics and returns it as a dict
                return {}

            custom_evaluators = [fun1]
            client.llm_metrics.compute_metrics(configuration, sources, predictions, references, custom_evaluators=custom_evaluators)
        """
        stub = ("(self, configuration: dict[str, Any], sources: pd.DataFrame | None = None,"
            " predictions: pd.DataFrame | None = None, references: pd.DataFrame | None = None,"
            " custom_evaluators: Sequence[CustomEvaluator] = ..., **kwargs: Any) -> dict[str, Any]")
        exact_dict = "configuration"
        doctest = "LLMMetrics.compute_metrics (line 52)"
        valid_call = "(configuration, None, custom_evaluators=[lambda *a, **k: {'custom': 1}])"
[method end]*/
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
