# Type stubs of the compiled module llm_metrics.
import enum
import warnings as warnings
from collections.abc import Mapping, Sequence
from itertools import chain as chain
from typing import Any, Final, Protocol, TypedDict, Unpack, type_check_only

import pandas as pd
from zel_cloud_sdk_core import BaseService as BaseService
from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator as BearerTokenAuthenticator
from zel_tarn_quillgate.base_classes.tables import Table as Table
from zel_tarn_quillgate.supporting_classes.metrics.evaluators import LLMAJEvaluators as LLMAJEvaluators
from zel_tarn_quillgate.utils.utils import validate_type as validate_type

__test__: Final[dict[str, str]]

@type_check_only
class ManagerKeywords(TypedDict):
    """The keyword arguments every custom evaluator receives (besides any
    extra keyword given to ``compute_metrics``): the host client's connection
    details, as the metrics plugin gets them.

    Only for type checking: import it under ``typing.TYPE_CHECKING``.
    """

    is_vesk: bool
    origin: str
    is_bearer_token: bool
    authenticator: Any
    service_url: str
    host: str
    service_instance_id: str | None

@type_check_only
class CustomEvaluator(Protocol):
    """A custom evaluator for ``compute_metrics(custom_evaluators=[...])``.

    It is called as ``fun(sources, predictions, references, **kwargs)``: the
    three data frames given to ``compute_metrics`` (positionally, so the
    parameter names are free) and, as keyword arguments, the manager keywords:
    ``origin``, ``is_vesk``, ``is_bearer_token``, ``authenticator``,
    ``service_url``, ``host``, ``service_instance_id`` (see ``ManagerKeywords``)
    and every extra keyword given to ``compute_metrics``.  The function must
    therefore accept ``**kwargs``.  It returns a mapping of metric names to
    values, merged into the result (later evaluators win).

    Only for type checking: import it under ``typing.TYPE_CHECKING``.
    """

    def __call__(
        self,
        sources: pd.DataFrame,
        predictions: pd.DataFrame,
        references: pd.DataFrame,
        /,
        **kwargs: Unpack[ManagerKeywords],
    ) -> Mapping[str, Any]: ...

class LLMMetrics:
    ai_client: BaseService
    is_bearer_token: bool
    evaluators: LLMAJEvaluators
    def __init__(self, ai_client: BaseService) -> None: ...
    def compute_metrics(
        self,
        configuration: dict[str, Any],
        sources: pd.DataFrame | None = None,
        predictions: pd.DataFrame | None = None,
        references: pd.DataFrame | None = None,
        custom_evaluators: Sequence[CustomEvaluator] = ...,
        **kwargs: Any,
    ) -> dict[str, Any]:
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
    def get_metrics_result(
        self, configuration: dict[str, Any], metrics_result: Mapping[str, Any], **kwargs: Any
    ) -> dict[str, Any]:
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
    def show_supported_metrics(
        self,
        task_type: str | enum.Enum | None = None,
        metric_id: str | enum.Enum | None = None,
        metric_group: str | enum.Enum | None = None,
    ) -> None:
        """
                Displays information about supported metrics and task types based on the provided parameters.

                This method can be called in the following ways:

                1. Show_supported_metrics() → Displays all supported metrics, task types, and metric groups.
                2. Show_supported_metrics(task_type="generation") → Displays all metrics supported by the specified task type.
                3. Show_supported_metrics(metric_id="bleu") → Displays all task types that support the specified metric.
                4. Show_supported_metrics(metric_group="rouge_score") → Displays all metrics that come under the specified metric group.
                5. Show_supported_metrics(task_type="generation", metric_id="bleu") → Displays whether the specified metric is supported by the specified task type.
                6. Show_supported_metrics(metric_group="rouge_score", metric_id="rouge1") → Displays whether the specified metric is part of the specified metric group.
            """
    def display_result(self, results: Any) -> None: ...
