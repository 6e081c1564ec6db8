"""The kit's client for the model-monitoring service."""

from __future__ import annotations

import importlib
from functools import cached_property
from typing import TYPE_CHECKING
from urllib.parse import urlsplit

from zel_cloud_sdk_core import BaseService
from zel_cloud_sdk_core.authenticators import Authenticator

from .utils.utils import validate_type

if TYPE_CHECKING:
    from .supporting_classes.metrics.llm_metrics import LLMMetrics

__all__ = ["DEFAULT_SERVICE_URL", "TarnQuillgateV2Adapter"]

DEFAULT_SERVICE_URL = "https://api.quillgate.zel-cloud.example"


class TarnQuillgateV2Adapter(BaseService):
    """Client of the monitoring service.

    :param authenticator: signs the requests sent to the service.
    :param service_url: base URL of the service.
    :param is_vesk: True when talking to a self-managed (VESK) installation.
    :param host: host name used for the service's data plane; defaults to the
        host of ``service_url``.
    :param service_instance_id: id of the service instance to work with, when
        the account has several.
    """

    def __init__(
        self,
        authenticator: Authenticator,
        service_url: str = DEFAULT_SERVICE_URL,
        *,
        is_vesk: bool = False,
        host: str | None = None,
        service_instance_id: str | None = None,
    ) -> None:
        super().__init__(authenticator, service_url)
        validate_type(is_vesk, "is_vesk", bool, True)
        validate_type(host, "host", str, False)
        validate_type(service_instance_id, "service_instance_id", str, False)
        self.is_vesk = is_vesk
        self.host = host if host is not None else urlsplit(self.service_url).netloc
        self.service_instance_id = service_instance_id

    @cached_property
    def llm_metrics(self) -> LLMMetrics:
        """LLM metric computation bound to this client (an ``LLMMetrics``).

        The compiled metrics module is loaded on first use only.
        """
        module = importlib.import_module(
            "zel_tarn_quillgate.supporting_classes.metrics.llm_metrics"
        )
        metrics: LLMMetrics = module.LLMMetrics(self)
        return metrics

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(service_url={self.service_url!r}, "
            f"host={self.host!r}, is_vesk={self.is_vesk!r})"
        )
