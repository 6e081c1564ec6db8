// get_metrics_result: fetches the results the service finishes after
// compute_metrics, through a new metrics manager.
#include <array>

#include "computation/validation.hpp"
#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/state.hpp"
#include "generated/methods.hpp"

namespace llm_metrics::computation {

/*[method]
def get_metrics_result(self, configuration: "dict", metrics_result, **kwargs):
        """
        Get the result of metrics which are run on the server. Used for faithfulness metric.
        :param configuration: The configuration of the metrics to get the response
        :param metrics_result: The metrics result dictionary containing the details of the computation tasks triggered. This will be output of the method 'compute_metrics'.
        :return: Key/Value pair where key is the metric name and value is an object consisting of the metric results for all individual metrics.

        This is how the configuration parameter dict will look like::

            from zel_metrics_plugin.metrics.llm.utils.constants import LLMTextMetricGroup, LLMSummarizationMetrics, HAP_SCORE
            metric_config = {
                "configuration": {
                    LLMTextMetricGroup.RAG.value: { #This is metric group
                        LLMSummarizationMetrics.ROUGE_SCORE.value: { #This is individual metric and contains it's specific parameters if required
                            "use_aggregator": True,
                            "use_stemmer": True
                        },
                        LLMSummarizationMetrics.FAITHFULNESS.value: {},
                        LLMSummarizationMetrics.ANSWER_RELEVANCE.value: {},
                    }
                }
            }

        A way you might use me is:

        >>> metrics_result = client.llm_metrics.compute_metrics(configuration, sources, predictions, references)
        >>> final_result = client.llm_metrics.get_metrics_result(configuration=configuration, metrics_result=metrics_result)
        """
        stub = "(self, configuration: dict[str, Any], metrics_result: Mapping[str, Any], **kwargs: Any) -> dict[str, Any]"
        exact_dict = "configuration"
        doctest = "LLMMetrics.get_metrics_result (line 145)"
        valid_call = "(configuration, metrics_result={'task': 't'}, extra=1)"
[method end]*/
PyObject* get_metrics_result(MethodFunction*, const GetMetricsResultParams& p) {
    if (validate_configuration(p.configuration) < 0) {
        return nullptr;
    }
    // The manager resolution extends `p.kwargs` itself with the manager keywords.
    Ref manager = call_method<3>(state().consts._LLMMetrics__get_metrics_manager, {p.self, p.configuration, p.kwargs});
    Ref fetch = Ref::steal(manager ? get_attr(manager.get(), state().consts.get_metrics_result) : nullptr);
    if (!fetch) {
        return nullptr;
    }
    return call_with_mapping(fetch.get(), &p.metrics_result, 1, p.kwargs).release();
}

}  // namespace llm_metrics::computation
