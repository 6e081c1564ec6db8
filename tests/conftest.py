"""Shared fixtures: the extension module, a client of the stand-in host kit."""

from __future__ import annotations

import importlib
import subprocess
import sys
import textwrap
from types import ModuleType

import pytest

MODULE_NAME = "zel_tarn_quillgate.supporting_classes.metrics.llm_metrics"


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


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of the same environment."""
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
