"""Benchmark suite of LLMMetrics: the compiled module against a plain-Python baseline.

Run with ``./dev bench`` (``./dev bench --quick`` for a short smoke run).
Scenario files are named ``bench_*.py``, so the normal test run never
collects them.  Every scenario records its figures in a session-wide table
that is printed at the end of the run; targets are reported there as PASS
or MISS and never fail the run.
"""

from __future__ import annotations

import importlib
import importlib.util
import os
import sys
import types
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

# The plain-Python oracle and the fakes are the tests' own (tests/support, on
# pytest's pythonpath); harness sits beside this file.
import baseline_llm_metrics
import fakes
import harness
from llm_metrics_testing import MODULE_NAME


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("llm-metrics benchmarks")
    group.addoption(
        "--quick",
        action="store_true",
        default=False,
        help="short smoke run (same as LLM_METRICS_BENCH_QUICK=1)",
    )
    group.addoption(
        "--self-check",
        action="store_true",
        default=False,
        help="time a second copy of the baseline in place of the module (A/A run: every ratio should be near 1)",
    )


def pytest_collect_file(file_path: Path, parent: pytest.Collector) -> pytest.Module | None:
    if file_path.suffix == ".py" and file_path.name.startswith("bench_"):
        return pytest.Module.from_parent(parent, path=file_path)
    return None


def _load_baseline_copy() -> types.ModuleType:
    """A second, independent copy of the baseline module (for the A/A run)."""
    spec = importlib.util.spec_from_file_location("baseline_llm_metrics_copy", Path(baseline_llm_metrics.__file__))
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


@dataclass
class BenchContext:
    settings: harness.Settings
    self_check: bool
    module: types.ModuleType
    baseline: types.ModuleType
    stand_ins: fakes.StandIns
    client: Any
    results: harness.Results
    _catalogues: dict[tuple[str, int], fakes.Catalogue] = field(default_factory=dict)

    def catalogue(self, kind: str, size: int) -> fakes.Catalogue:
        """The catalogue of that kind and size, now installed as the plugin's enumerations."""
        key = (kind, size)
        if key not in self._catalogues:
            self._catalogues[key] = fakes.build_catalogue(kind, size)
        catalogue = self._catalogues[key]
        self.stand_ins.use_catalogue(catalogue)
        return catalogue

    def instances(self) -> tuple[Any, Any]:
        return self.module.LLMMetrics(self.client), self.baseline.LLMMetrics(self.client)


_RESULTS = harness.Results()


@pytest.fixture(scope="session")
def bench(request: pytest.FixtureRequest) -> Any:
    config = request.config
    settings = harness.Settings.from_env(config.getoption("--quick"))
    self_check = config.getoption("--self-check")
    baseline = baseline_llm_metrics
    module = _load_baseline_copy() if self_check else importlib.import_module(MODULE_NAME)
    stand_ins = fakes.StandIns(module, baseline)
    stand_ins.install()
    context = BenchContext(
        settings=settings,
        self_check=self_check,
        module=module,
        baseline=baseline,
        stand_ins=stand_ins,
        client=fakes.make_client(),
        results=_RESULTS,
    )
    try:
        yield context
    finally:
        stand_ins.uninstall()


def pytest_terminal_summary(terminalreporter: Any, exitstatus: int, config: pytest.Config) -> None:
    if not _RESULTS.rows:
        return
    quick = config.getoption("--quick") or os.environ.get("LLM_METRICS_BENCH_QUICK", "") not in ("", "0")
    title = "LLMMetrics: compiled module vs plain-Python baseline (medians, interleaved in this run)"
    if quick:
        title += "  [QUICK RUN: smoke figures only]"
    if config.getoption("--self-check"):
        title += "  [SELF-CHECK: baseline vs baseline]"
    terminalreporter.write_sep("=", "llm_metrics benchmarks")
    for line in harness.render(_RESULTS, title):
        terminalreporter.write_line(line)
