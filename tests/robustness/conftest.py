"""Hypothesis profiles of the robustness tests.

"ci" (the default) keeps the generated tests to a bounded number of examples;
"deep" runs many more, and the thread test more iterations:

    LLM_METRICS_HYPOTHESIS_PROFILE=deep ./dev test tests/robustness
"""

from __future__ import annotations

import os

import pytest
from hypothesis import HealthCheck, settings

PROFILE_VARIABLE = "LLM_METRICS_HYPOTHESIS_PROFILE"

_relaxed = dict(
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
settings.register_profile("ci", max_examples=60, **_relaxed)
settings.register_profile("deep", max_examples=2000, **_relaxed)


def profile_name() -> str:
    return os.environ.get(PROFILE_VARIABLE, "ci")


def pytest_configure(config: pytest.Config) -> None:
    # The reference-leak hunt loads a profile of its own (fewer examples per
    # repeated run); leave that one in place.
    if config.pluginmanager.has_plugin("refleak-hunter"):
        return
    settings.load_profile(profile_name())

