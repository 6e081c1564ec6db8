# Type stubs of the compiled module llm_metrics.
import warnings as warnings
from collections.abc import Callable, Iterable
from itertools import chain as chain
from typing import Any, Final

import pandas as pd
from zel_cloud_sdk_core import BaseService as BaseService
from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator as BearerTokenAuthenticator
from zel_tarn_quillgate.base_classes.tables import Table as Table
from zel_tarn_quillgate.client import TarnQuillgateV2Adapter
from zel_tarn_quillgate.supporting_classes.metrics.evaluators import LLMAJEvaluators as LLMAJEvaluators
from zel_tarn_quillgate.utils.utils import validate_type as validate_type

__test__: Final[dict[str, str]]

# A custom evaluator: called as fun(sources, predictions, references, **kwargs)
# and returning a dictionary of extra metrics.
_CustomEvaluator = Callable[..., Any]

class LLMMetrics:
    ai_client: BaseService
    is_bearer_token: bool
    evaluators: LLMAJEvaluators
    def __init__(self, ai_client: TarnQuillgateV2Adapter | BaseService) -> None: ...
    def compute_metrics(
        self,
        configuration: dict[str, Any],
        sources: pd.DataFrame | None = None,
        predictions: pd.DataFrame | None = None,
        references: pd.DataFrame | None = None,
        custom_evaluators: Iterable[_CustomEvaluator] = ...,
        **kwargs: Any,
    ) -> dict[str, Any]: ...
    def get_metrics_result(self, configuration: dict[str, Any], metrics_result: Any, **kwargs: Any) -> Any: ...
    def show_supported_metrics(
        self, task_type: Any = None, metric_id: Any = None, metric_group: Any = None
    ) -> None: ...
    def display_result(self, results: Any) -> Any: ...
