"""Scenarios: every public entry of LLMMetrics, compiled module against baseline.

Each scenario first runs both implementations once with recording stand-ins
and compares what they produced (tables, printed text, return values), so
that the timed work is the same on both sides; then it times them
interleaved (see harness.py) and records a row of the final table.
"""

from __future__ import annotations

import gc
import importlib.util
import os
import py_compile
import statistics
import subprocess
import sys
import textwrap
import tracemalloc
from pathlib import Path
from typing import Any

import pandas as pd
import pytest

import baseline_llm_metrics
import fakes
import harness
from harness import Row, verdict
from llm_metrics_testing import MODULE_NAME

BASELINE_SOURCE = Path(baseline_llm_metrics.__file__).resolve()

CALL_LIMIT = 0.90
PLAIN_BROWSER_LIMIT = 0.60
ENUM_BROWSER_LIMIT = 0.95
KEY_SEARCH_LIMIT = 0.25
IMPORT_LIMIT = 0.80
MEMORY_LIMIT = 1.00

SIZES = (30, 1000, 10000)
KINDS = ("plain", "enum")
FORMS = {
    "all": "obj.show_supported_metrics()",
    "task_type": "obj.show_supported_metrics(task_type=task_type)",
    "metric": "obj.show_supported_metrics(metric_id=metric_id)",
    "group": "obj.show_supported_metrics(metric_group=group_id)",
    "invalid_metric": "obj.show_supported_metrics(metric_id='no_such_metric')",
}
FORM_LABELS = {
    "all": "all",
    "task_type": "task type",
    "metric": "one metric",
    "group": "metric group",
    "invalid_metric": "invalid metric",
}


# ------------------------------------------------------------------ helpers


def _namespaces(bench: Any, **shared: Any) -> tuple[dict, dict]:
    module_obj, baseline_obj = bench.instances()
    return {"obj": module_obj, **shared}, {"obj": baseline_obj, **shared}


def _normalise_tables(tables: list) -> list:
    out = []
    for headers, records, title in tables:
        if headers in (["Metric Group"], ["metric group"]):
            records = sorted(records)  # the group list has a set's order
        out.append((headers, records, title))
    return out


def _run_recorded(bench: Any, stmt: str, namespace: dict, project: Any) -> tuple[Any, list, str]:
    fakes.RecordingTable.calls = []
    bench.stand_ins.set_global("Table", fakes.RecordingTable)
    try:
        with fakes.captured_stdout() as out:
            value = eval(stmt, dict(namespace))
        tables = [(list(c.headers), [list(r) for r in c.record], c.title) for c in fakes.RecordingTable.calls]
    finally:
        bench.stand_ins.set_global("Table", fakes.NullTable)
        fakes.RecordingTable.calls = []
    return project(value), _normalise_tables(tables), out.getvalue()


def _first_difference(a: Any, b: Any) -> str:
    ra, rb = repr(a), repr(b)
    for i, (x, y) in enumerate(zip(ra, rb)):
        if x != y:
            return f"at char {i}: module ...{ra[max(0, i - 40):i + 60]!r} / baseline ...{rb[max(0, i - 40):i + 60]!r}"
    return f"lengths {len(ra)} / {len(rb)}"


def _check_same_output(
    bench: Any, name: str, stmt: str, module_ns: dict, baseline_ns: dict, project: Any = None
) -> None:
    project = project or (lambda value: value)
    try:
        got = _run_recorded(bench, stmt, module_ns, project)
    except NotImplementedError as exc:
        pytest.skip(f"module: {exc}")
    want = _run_recorded(bench, stmt, baseline_ns, project)
    if got != want:
        what = ["return value", "tables", "printed text"]
        for label, g, w in zip(what, got, want):
            if g != w:
                bench.results.mismatches.append(f"{name}: {label} differs {_first_difference(g, w)}")
                break


def _measure(
    bench: Any,
    *,
    group: str,
    name: str,
    key: str,
    stmt: str,
    module_ns: dict,
    baseline_ns: dict,
    limit: float | None,
    project: Any = None,
) -> harness.Measurement:
    _check_same_output(bench, name, stmt, module_ns, baseline_ns, project)
    with fakes.silenced_stdout():
        m = harness.compare(stmt, stmt, module_ns, baseline_ns, bench.settings.budget)
    bench.results.measurements[key] = m
    bench.results.add(
        Row(
            group=group,
            name=name,
            module=m.module_ns,
            baseline=m.baseline_ns,
            ratio=m.ratio,
            target="" if limit is None else f"<= {limit:.2f}",
            verdict=verdict(m.ratio, limit),
            note=f"{m.pairs} pairs, spread {m.module_spread:.0%}/{m.baseline_spread:.0%}",
        )
    )
    return m


def _frames() -> tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]:
    sources = pd.DataFrame({"text": ["The cat sat on the mat.", "It rained all day."]})
    predictions = pd.DataFrame({"text": ["A cat sat on a mat.", "Rain all day."]})
    references = pd.DataFrame({"text": ["The cat is on the mat.", "It rained the whole day."]})
    return sources, predictions, references


# ------------------------------------------------------- computation entries


def test_constructor(bench: Any) -> None:
    _measure(
        bench,
        group="calls",
        name="LLMMetrics(client)",
        key="constructor",
        stmt="LLMMetrics(client)",
        module_ns={"LLMMetrics": bench.module.LLMMetrics, "client": bench.client},
        baseline_ns={"LLMMetrics": bench.baseline.LLMMetrics, "client": bench.client},
        limit=CALL_LIMIT,
        project=lambda obj: (obj.ai_client, obj.is_bearer_token, type(obj.evaluators), sorted(vars(obj))),
    )


@pytest.mark.parametrize("with_evaluators", [False, True], ids=["no_evaluators", "3_evaluators"])
def test_compute_metrics(bench: Any, with_evaluators: bool) -> None:
    sources, predictions, references = _frames()
    module_ns, baseline_ns = _namespaces(
        bench,
        cfg=fakes.realistic_configuration(),
        sources=sources,
        predictions=predictions,
        references=references,
        evaluators=list(fakes.CUSTOM_EVALUATORS),
    )
    if with_evaluators:
        stmt = "obj.compute_metrics(cfg, sources, predictions, references, custom_evaluators=evaluators)"
        name = "compute_metrics, 3 custom evaluators"
    else:
        stmt = "obj.compute_metrics(cfg, sources, predictions, references)"
        name = "compute_metrics"
    _measure(
        bench,
        group="calls",
        name=name,
        key=f"compute_metrics/{with_evaluators}",
        stmt=stmt,
        module_ns=module_ns,
        baseline_ns=baseline_ns,
        limit=CALL_LIMIT,
    )


def test_get_metrics_result(bench: Any) -> None:
    module_ns, baseline_ns = _namespaces(
        bench, cfg=fakes.realistic_configuration(), metrics_result={"faithfulness": {"task_id": "t-1"}}
    )
    _measure(
        bench,
        group="calls",
        name="get_metrics_result",
        key="get_metrics_result",
        stmt="obj.get_metrics_result(cfg, metrics_result)",
        module_ns=module_ns,
        baseline_ns=baseline_ns,
        limit=CALL_LIMIT,
    )


def test_display_result(bench: Any) -> None:
    module_ns, baseline_ns = _namespaces(bench, results={"robustness": {"score": 0.9}})
    _measure(
        bench,
        group="calls",
        name="display_result",
        key="display_result",
        stmt="obj.display_result(results)",
        module_ns=module_ns,
        baseline_ns=baseline_ns,
        limit=CALL_LIMIT,
    )


# ------------------------------------------------------------------ browser


def _browser_limit(kind: str, size: int) -> float | None:
    if size < 1000:
        return None
    return PLAIN_BROWSER_LIMIT if kind == "plain" else ENUM_BROWSER_LIMIT


BROWSER_CASES = [(kind, size, form) for kind in KINDS for size in SIZES for form in FORMS]


@pytest.mark.parametrize(
    ("kind", "size", "form"), BROWSER_CASES, ids=[f"{k}-{s}-{f}" for k, s, f in BROWSER_CASES]
)
def test_show_supported_metrics(bench: Any, kind: str, size: int, form: str) -> None:
    catalogue = bench.catalogue(kind, size)
    module_ns, baseline_ns = _namespaces(
        bench, task_type=catalogue.task_type, metric_id=catalogue.metric_id, group_id=catalogue.group_id
    )
    _measure(
        bench,
        group=f"show_supported_metrics, {kind} catalogue",
        name=f"{FORM_LABELS[form]}, n={size:,}",
        key=f"browser/{kind}/{size}/{form}",
        stmt=FORMS[form],
        module_ns=module_ns,
        baseline_ns=baseline_ns,
        limit=_browser_limit(kind, size),
    )


GROWTH_LIMIT = 1.15
GROWTH_SIZES = (1000, 10000)
GROWTH_CASES = [(kind, form) for kind in KINDS for form in FORMS]


@pytest.mark.parametrize(("kind", "form"), GROWTH_CASES, ids=[f"{k}-{f}" for k, f in GROWTH_CASES])
def test_show_supported_metrics_growth(bench: Any, kind: str, form: str) -> None:
    """Per-metric cost at 10,000 over per-metric cost at 1,000, both sizes interleaved."""
    small_size, large_size = GROWTH_SIZES
    module_obj, baseline_obj = bench.instances()
    variants = []
    for obj in (module_obj, baseline_obj):
        for size in GROWTH_SIZES:
            catalogue = bench.catalogue(kind, size)
            namespace = {
                "obj": obj,
                "task_type": catalogue.task_type,
                "metric_id": catalogue.metric_id,
                "group_id": catalogue.group_id,
            }
            variants.append(
                harness.Variant(FORMS[form], namespace, before=lambda c=catalogue: bench.stand_ins.use_catalogue(c))
            )
    try:
        with fakes.silenced_stdout():
            eval(FORMS[form], dict(variants[0].namespace))
    except NotImplementedError as exc:
        pytest.skip(f"module: {exc}")
    with fakes.silenced_stdout():
        rounds = harness.interleave(variants, bench.settings.budget)
    scale = small_size / large_size
    module = statistics.median(r[1] / r[0] * scale for r in rounds)
    baseline = statistics.median(r[3] / r[2] * scale for r in rounds)
    bench.results.add(
        Row(
            group="show_supported_metrics growth: per-metric cost at 10,000 / at 1,000",
            name=f"{FORM_LABELS[form]}, {kind}",
            module=module,
            baseline=baseline,
            ratio=None,
            target=f"<= {GROWTH_LIMIT:.2f}",
            verdict=verdict(module, GROWTH_LIMIT),
            unit="x",
            note=f"{len(rounds)} rounds",
        )
    )


def _peak_bytes(obj: Any) -> int:
    """Peak traced allocation of one show_supported_metrics() call."""
    with fakes.silenced_stdout():
        obj.show_supported_metrics()
        gc.collect()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            tracemalloc.reset_peak()
            obj.show_supported_metrics()
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    return peak - before


@pytest.mark.parametrize("kind", KINDS)
def test_show_supported_metrics_peak_memory(bench: Any, kind: str) -> None:
    bench.catalogue(kind, 10000)
    module_obj, baseline_obj = bench.instances()
    try:
        with fakes.silenced_stdout():
            module_obj.show_supported_metrics()
    except NotImplementedError as exc:
        pytest.skip(f"module: {exc}")
    module_peaks, baseline_peaks = [], []
    for _ in range(3):
        module_peaks.append(_peak_bytes(module_obj))
        baseline_peaks.append(_peak_bytes(baseline_obj))
    module = statistics.median(module_peaks)
    baseline = statistics.median(baseline_peaks)
    bench.results.add(
        Row(
            group="peak memory per call (tracemalloc), show_supported_metrics() at n=10,000",
            name=f"all, {kind}",
            module=module,
            baseline=baseline,
            ratio=module / baseline,
            target=f"<= {MEMORY_LIMIT:.2f}",
            verdict=verdict(module / baseline, MEMORY_LIMIT),
            unit="B",
        )
    )


# ------------------------------------------------------------ key search


KEY_CASES = {
    "wide": ("wide: 10,000 keys, key absent", lambda: (fakes.wide_configuration(), "no_such_key")),
    "deep": ("deep: 500 levels, key at the bottom", lambda: (fakes.deep_configuration(), "target")),
    "realistic": (
        "realistic configuration, key at depth 3",
        lambda: (fakes.realistic_configuration(), "context_relevance"),
    ),
}


@pytest.mark.parametrize("shape", list(KEY_CASES))
def test_is_key_present(bench: Any, shape: str) -> None:
    label, make = KEY_CASES[shape]
    config, key = make()
    module_ns, baseline_ns = _namespaces(bench, config=config, key=key)
    _measure(
        bench,
        group="__is_key_present",
        name=label,
        key=f"key/{shape}",
        stmt="obj._LLMMetrics__is_key_present(config, key)",
        module_ns=module_ns,
        baseline_ns=baseline_ns,
        limit=KEY_SEARCH_LIMIT,
    )


# ------------------------------------------------------------------ import

# Both children import the same prerequisites first (pandas, the host kit,
# itertools, warnings); the clock (CPU time of the thread, user and system)
# covers only the import of the target.
IMPORT_CHILD = textwrap.dedent(
    """
    import sys, time
    import itertools, warnings
    import pandas
    import zel_cloud_sdk_core, zel_cloud_sdk_core.authenticators
    import zel_tarn_quillgate.utils.utils
    import zel_tarn_quillgate.base_classes.tables
    import zel_tarn_quillgate.supporting_classes.metrics.evaluators
    t0 = time.thread_time_ns()
    import {target}
    t1 = time.thread_time_ns()
    print(t1 - t0)
    """
)


def _import_ns(target: str) -> int:
    code = IMPORT_CHILD.format(target=target)
    # The child finds the baseline where this process found it.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(BASELINE_SOURCE.parent),
                                                                    os.environ.get("PYTHONPATH")])))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=False,
                          env=env)
    if done.returncode != 0:
        raise RuntimeError(f"import of {target} failed:\n{done.stderr}")
    return int(done.stdout.strip().splitlines()[-1])


def test_import(bench: Any) -> None:
    baseline_target = baseline_llm_metrics.__name__
    module_target = baseline_target if bench.self_check else MODULE_NAME
    # An installed module is imported from its cached byte code; write the
    # cache even where the environment disables that (children only read it).
    source = str(BASELINE_SOURCE)
    py_compile.compile(source, cfile=importlib.util.cache_from_source(source), doraise=True)
    _import_ns(module_target), _import_ns(baseline_target)  # warm-up: file cache
    module_runs, baseline_runs, ratios = [], [], []
    for i in range(bench.settings.import_runs):
        if i % 2 == 0:
            a = _import_ns(module_target)
            b = _import_ns(baseline_target)
        else:
            b = _import_ns(baseline_target)
            a = _import_ns(module_target)
        module_runs.append(a)
        baseline_runs.append(b)
        ratios.append(a / b)
    ratio = statistics.median(ratios)
    bench.results.add(
        Row(
            group="import (one per fresh process, prerequisites pre-imported)",
            name="import of the module",
            module=statistics.median(module_runs),
            baseline=statistics.median(baseline_runs),
            ratio=ratio,
            target=f"<= {IMPORT_LIMIT:.2f}",
            verdict=verdict(ratio, IMPORT_LIMIT),
            note=f"{len(ratios)} process pairs",
        )
    )
