"""The compiled browser against the plain-Python oracle: for every combination
of valid, invalid and absent arguments, the same attribute reads, enumeration
iterations, tables and printed text, in the same order."""

from __future__ import annotations

import itertools
import sys

import pytest

import fakes as bf
from llm_metrics_testing import oracle


class Log(list):
    def write(self, text: str) -> int:
        self.append(("out", text))
        return len(text)

    def flush(self) -> None:
        pass


LOG = Log()


class TracedCatalogue(bf.PlainCatalogue):
    def __iter__(cls):
        LOG.append(("iter", cls.__name__))
        return iter(cls._members)


class TracedMember(bf.PlainMember):
    """Logs every read of a non-dunder attribute (hasattr tests included)."""

    def __getattribute__(self, name: str):
        if not name.startswith("__"):
            try:
                value = object.__getattribute__(self, "value")
            except AttributeError:
                value = None
            LOG.append(("get", value, name))
        return object.__getattribute__(self, name)


def traced_class(name: str, specs: list[dict]):
    return bf.plain_class(name, specs, metaclass=TracedCatalogue, base=TracedMember)


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
    catalogue = bf.make_catalogue(traced_class)
    bf.install(monkeypatch, llm_metrics, catalogue, oracle)
    return catalogue


@pytest.mark.parametrize(("task_type", "metric_id", "metric_group"), CASES)
def test_same_trace_as_plain_python(llm_metrics, client, traced, task_type, metric_id, metric_group) -> None:
    obj = llm_metrics.LLMMetrics(client)
    expected_obj = oracle.LLMMetrics(client)
    kwargs = dict(task_type=task_type, metric_id=metric_id, metric_group=metric_group)
    expected = _trace(lambda: expected_obj.show_supported_metrics(**kwargs))
    actual = _trace(lambda: obj.show_supported_metrics(**kwargs))
    assert actual[0] is None and expected[0] is None
    assert actual[1] == expected[1]
    assert actual[2] == expected[2]
