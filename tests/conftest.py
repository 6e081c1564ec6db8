"""Shared fixtures: the extension module, a client of the stand-in host kit."""

from __future__ import annotations

import importlib
from types import ModuleType

import pytest

from llm_metrics_testing import MODULE_NAME


@pytest.fixture(scope="session")
def llm_metrics() -> ModuleType:
    return importlib.import_module(MODULE_NAME)


@pytest.fixture
def client():
    from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator
    from zel_tarn_quillgate import TarnQuillgateV2Adapter

    return TarnQuillgateV2Adapter(
        BearerTokenAuthenticator("token-123"),
        "https://monitoring.example",
        host="monitoring.example",
        service_instance_id="instance-1",
    )
