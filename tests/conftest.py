"""Shared fixtures: the extension module, a client of the stand-in host kit."""

from __future__ import annotations

import importlib
from types import ModuleType

import pytest

# The kit, the plugin and the extension are imported once, when the tests are
# collected, so that every test (and every repeated run of one) sees the same
# classes as the extension's module globals, whatever a test puts into
# sys.modules for a while.
import zel_cloud_sdk_core.authenticators  # noqa: F401
import zel_metrics_plugin.metrics.llm.config.entities  # noqa: F401
import zel_metrics_plugin.metrics.llm.utils.constants  # noqa: F401
import zel_tarn_quillgate  # noqa: F401
import zel_tarn_quillgate.supporting_classes.metrics.llm_metrics  # noqa: F401
from fakes import make_client
from llm_metrics_testing import MODULE_NAME


@pytest.fixture(scope="session")
def llm_metrics() -> ModuleType:
    return importlib.import_module(MODULE_NAME)


@pytest.fixture
def client():
    return make_client()
