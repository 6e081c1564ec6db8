"""The compiled browser against the plain-Python body: for every combination
of valid, invalid and absent arguments, the same attribute reads, enumeration
iterations, tables and printed text, in the same order."""

from __future__ import annotations

import itertools
import sys
import types

import pytest

import browser_fakes as bf
import reference_browser


class Log(list):
    def write(self, text: str) -> int:
        self.append(("out", text))
        return len(text)

    def flush(self) -> None:
        pass


LOG = Log()


class TracedCatalogue(type):
    def __iter__(cls):
        LOG.append(("iter", cls.__name__))
        return iter(cls._members)


class TracedMember:
    """Logs every read of a non-dunder attribute (hasattr tests included)."""

    def __getattribute__(self, name: str):
        if not name.startswith("__"):
            LOG.append(("get", object.__getattribute__(self, "__dict__").get("value"), name))
        return object.__getattribute__(self, name)


def traced_catalogue() -> types.ModuleType:
    def make(name: str, specs: list[dict]):
        cls = TracedCatalogue(name, (TracedMember,), {})
        members = []
        for spec in specs:
            member = object.__new__(cls)
            object.__getattribute__(member, "__dict__").update(spec)
            members.append(member)
        cls._members = tuple(members)
        return cls

    subs = make("LLMSubMetrics", bf.SUBS)
    by_id = {object.__getattribute__(m, "__dict__")["value"]: m for m in subs._members}
    metric_specs = []
    for spec in bf.METRICS:
        spec = dict(spec)
        if isinstance(spec.get("sub_metrics"), list):
            spec["sub_metrics"] = [by_id[i] for i in spec["sub_metrics"]]
        metric_specs.append(spec)
    module = types.ModuleType(bf.ENTITIES)
    module.LLMTaskType = make("LLMTaskType", [dict(value=t) for t in bf.TASKS])
    module.LLMMetricType = make("LLMMetricType", metric_specs)
    module.LLMSubMetrics = subs
    return module


TASK_TYPES = [None, "generation", "qa", "bad"]
METRIC_IDS = [None, "bleu", "rouge1", "faithfulness", "bad"]
GROUPS = [None, "rouge_score", "readability", "bleu", "faithfulness", "bad"]
CASES = list(itertools.product(TASK_TYPES, METRIC_IDS, GROUPS))


def _trace(call):
    LOG.clear()
    bf.RecordingTable.calls = []
    saved = sys.stdout
    sys.stdout = LOG
    try:
        result = call()
    finally:
        sys.stdout = saved
    tables = []
    for c in bf.RecordingTable.calls:
        record = [[getattr(cell, "__name__", cell) for cell in row] for row in c.record]
        tables.append((c.headers, record, c.title))
    log = list(LOG)
    return result, log, tables


@pytest.fixture
def traced(llm_metrics, monkeypatch):
    module = traced_catalogue()
    bf.install(monkeypatch, llm_metrics, None)
    monkeypatch.setitem(sys.modules, bf.ENTITIES, module)
    return module


@pytest.mark.parametrize(("task_type", "metric_id", "metric_group"), CASES)
def test_same_trace_as_plain_python(llm_metrics, client, traced, task_type, metric_id, metric_group) -> None:
    obj = llm_metrics.LLMMetrics(client)
    kwargs = dict(task_type=task_type, metric_id=metric_id, metric_group=metric_group)
    expected = _trace(lambda: reference_browser.show_supported_metrics(obj, llm_metrics, **kwargs))
    actual = _trace(lambda: obj.show_supported_metrics(**kwargs))
    assert actual[0] is None
    assert actual[1] == expected[1]
    assert actual[2] == expected[2]
