// The docstrings of the LLMMetrics methods, exactly as users read them in help().
#pragma once

namespace llm_metrics::docstrings {

inline constexpr const char compute_metrics[] = R"DOC(
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
        )DOC";

inline constexpr const char get_metrics_result[] = R"DOC(
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
        )DOC";

inline constexpr const char show_supported_metrics[] =
    "\n"
    "                Displays information about supported metrics and task types based on the provided parameters.\n"
    "\n"
    "                This method can be called in the following ways:\n"
    "\n"
    "                1. Show_supported_metrics() \u2192 Displays all supported metrics, task types, and metric groups.\n"
    "                2. Show_supported_metrics(task_type=\"generation\") \u2192 Displays all metrics supported by the "
    "specified task type.\n"
    "                3. Show_supported_metrics(metric_id=\"bleu\") \u2192 Displays all task types that support the "
    "specified metric.\n"
    "                4. Show_supported_metrics(metric_group=\"rouge_score\") \u2192 Displays all metrics that come "
    "under the specified metric group.\n"
    "                5. Show_supported_metrics(task_type=\"generation\", metric_id=\"bleu\") \u2192 Displays whether "
    "the specified metric is supported by the specified task type.\n"
    "                6. Show_supported_metrics(metric_group=\"rouge_score\", metric_id=\"rouge1\") \u2192 Displays "
    "whether the specified metric is part of the specified metric group.\n"
    "            ";

inline constexpr const char is_key_present[] =
    "\n"
    "        Recursively checks if the given key exists in the config_json.\n"
    "        :param config: input config_json.\n"
    "        :param key: Key to find.\n"
    "        :return: True if key exists, otherwise False.\n"
    "        ";

}  // namespace llm_metrics::docstrings
