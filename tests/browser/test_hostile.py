"""Hostile plugin data and arguments: each failure surfaces as the Python
exception it raises, after exactly what was printed before it."""

from __future__ import annotations

import gc

import pytest

import fakes as bf
from fakes import BadFormat, BadTruth, Boom, ContainsRaises, metric, red, table_line


class FailingIteration(bf.PlainCatalogue):
    """Iterating the class fails on its `fail_at`-th iteration, after one member."""

    def __iter__(cls):
        cls.iterations += 1
        if cls.iterations < cls.fail_at:
            return iter(cls._members)

        def members():
            yield cls._members[0]
            raise Boom("iteration")

        return members()


def catalogue(metrics=None, subs=None, tasks=("t", "u")):
    base_metrics = [metric("a"), metric("b", tasks=("u",)), metric("g", sub_metrics=["s"])]
    base_subs = [metric("s", metrics_group="g")]
    return bf.make_catalogue("plain", tasks=list(tasks), metrics=base_metrics if metrics is None else metrics,
                             subs=base_subs if subs is None else subs)


def failing_enumeration(which: str, fail_at: int):
    cat = catalogue()
    cls = getattr(cat.module, which)
    failing = FailingIteration(which, (), {"_members": cls._members, "iterations": 0, "fail_at": fail_at})
    setattr(cat.module, which, failing)
    return cat


class GroupProperty:
    def __init__(self, exc):
        self.exc = exc

    @property
    def metrics_group(self):
        raise self.exc


def with_group_property(exc):
    cat = catalogue()
    member = cat.member("a")
    member.__class__ = type("Hostile", (GroupProperty, type(member)), {})
    member.exc = exc
    return cat


CASES = [
    # id, catalogue factory, call kwargs, exception type, printed output before it
    ("unhashable value", lambda: catalogue(metrics=[metric(["x"]), metric(["y"])], subs=[]), {}, TypeError, ""),
    ("values not comparable", lambda: catalogue(metrics=[metric("a"), metric(1)], subs=[]), {}, TypeError, ""),
    ("membership test raises", lambda: catalogue(metrics=[dict(metric("a"), supported_tasks=ContainsRaises())]),
     dict(task_type="t"), Boom, ""),
    ("membership raises in query of form 5", lambda: catalogue(metrics=[dict(metric("a"),
                                                                              supported_tasks=ContainsRaises())]),
     dict(task_type="t", metric_id="a"), Boom, ""),
    ("truth test raises in the catalogue", lambda: catalogue(metrics=[metric("a", ref=BadTruth())]), {}, Boom, ""),
    ("truth test raises after an error line", lambda: catalogue(subs=[metric("s", tasks=("t",), ref=BadTruth(),
                                                                             metrics_group="g")]),
     dict(task_type="t", metric_id="b"), Boom, red("Metric b is not supported for the task type: t")),
    ("truth test raises in the detail table", lambda: catalogue(metrics=[metric("a", ref=BadTruth())]),
     dict(metric_id="a"), Boom, ""),
    ("non-str __format__ in an error line", catalogue, dict(metric_id=BadFormat("zzz")), TypeError, ""),
    ("non-str __format__ in a printed line", catalogue, dict(task_type="t", metric_id=BadFormat("a")), TypeError, ""),
    ("non-str __format__ in a title", catalogue, dict(metric_id=BadFormat("a")), TypeError, ""),
    ("task types fail while iterated", lambda: failing_enumeration("LLMTaskType", 1), {}, Boom, ""),
    ("metric types fail while iterated", lambda: failing_enumeration("LLMMetricType", 1), {}, Boom, ""),
    ("sub-metrics fail in the group catalogue", lambda: failing_enumeration("LLMSubMetrics", 2), {}, Boom, ""),
    ("sub-metrics fail in the query", lambda: failing_enumeration("LLMSubMetrics", 3), dict(task_type="t"), Boom,
     ""),
    ("sub-metrics fail in the query after an error line", lambda: failing_enumeration("LLMSubMetrics", 4),
     dict(task_type="u", metric_id="a"), Boom, red("Metric a is not supported for the task type: u")),
    ("metrics_group read raises", lambda: with_group_property(Boom("group")), {}, Boom, ""),
    ("sub_metrics not iterable", lambda: catalogue(metrics=[metric("g", sub_metrics=5)]), dict(metric_group="g"),
     TypeError, ""),
    ("sub_metrics missing on a group", lambda: catalogue(metrics=[metric("g")]), dict(metric_group="g"),
     AttributeError, ""),
    ("missing metrics_group on a sub-metric", lambda: catalogue(subs=[metric("s")]), {}, AttributeError, ""),
]


@pytest.mark.parametrize(("factory", "kwargs", "exc_type", "printed"), [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_hostile_data_raises_after_what_was_printed(llm_metrics, client, monkeypatch, capsys, factory, kwargs,
                                                    exc_type, printed) -> None:
    bf.install(monkeypatch, llm_metrics, factory())
    obj = llm_metrics.LLMMetrics(client)
    with pytest.raises(exc_type):
        obj.show_supported_metrics(**kwargs)
    assert capsys.readouterr().out == printed
    # Nothing of the call is left behind for the collector.
    function_type = type(llm_metrics.LLMMetrics.show_supported_metrics)
    assert not [o for o in gc.get_objects() if type(o) is function_type and "<locals>" in o.__qualname__]


def test_absent_metrics_group_attribute_error_is_none_other_errors_propagate(llm_metrics, client, monkeypatch,
                                                                             capsys) -> None:
    bf.install(monkeypatch, llm_metrics, with_group_property(AttributeError("gone")))
    llm_metrics.LLMMetrics(client).show_supported_metrics(metric_id="a")
    assert bf.RecordingTable.calls[0].record == [["a", None, ["t"], "No"]]


def test_table_failures_propagate_after_earlier_output(llm_metrics, client, monkeypatch, capsys) -> None:
    class BrokenTable(bf.RecordingTable):
        def list(self, *, title):
            raise Boom(title)

    bf.install(monkeypatch, llm_metrics, catalogue())
    monkeypatch.setattr(llm_metrics, "Table", BrokenTable)
    with pytest.raises(Boom, match="The following are the supported metrics:"):
        llm_metrics.LLMMetrics(client).show_supported_metrics(metric_id="nope")
    assert capsys.readouterr().out == red("The metric: nope is not valid.")


def test_missing_table_is_a_name_error(llm_metrics, client, monkeypatch, capsys) -> None:
    bf.install(monkeypatch, llm_metrics, catalogue())
    monkeypatch.delattr(llm_metrics, "Table")
    with pytest.raises(NameError, match="^name 'Table' is not defined$"):
        llm_metrics.LLMMetrics(client).show_supported_metrics(task_type="t", metric_id="a")
    assert capsys.readouterr().out == "The a metric is supported by the t task type.\n"


def test_table_and_chain_are_looked_up_at_every_use(llm_metrics, client, monkeypatch, capsys) -> None:
    import itertools

    chained = []

    def spy_chain(*iterables):
        chained.append(len(iterables))
        return itertools.chain(*iterables)

    bf.install(monkeypatch, llm_metrics, catalogue())
    monkeypatch.setattr(llm_metrics, "chain", spy_chain)
    llm_metrics.LLMMetrics(client).show_supported_metrics(task_type="t")
    assert chained == [2, 2]  # the catalogue and the query
    assert capsys.readouterr().out.startswith(table_line("Metrics supported by the t task type:"))
    monkeypatch.delattr(llm_metrics, "chain")
    with pytest.raises(NameError, match="chain"):
        llm_metrics.LLMMetrics(client).show_supported_metrics()


def test_print_failure_propagates(llm_metrics, client, monkeypatch) -> None:
    class Closed:
        def write(self, text):
            raise Boom("write")

    bf.install(monkeypatch, llm_metrics, catalogue())
    monkeypatch.setattr("sys.stdout", Closed())
    with pytest.raises(Boom):
        llm_metrics.LLMMetrics(client).show_supported_metrics(metric_id="zzz")
    assert bf.RecordingTable.calls == []  # the table after the error line was never reached


def test_builtins_taken_at_import_are_used(llm_metrics, client, monkeypatch, capsys) -> None:
    import builtins

    def refuse(*args, **kwargs):
        raise AssertionError("a builtin was looked up again")

    class QuietTable(bf.RecordingTable):
        def list(self, *, title):
            bf.RecordingTable.calls.append(bf.TableCall(self.headers, self.record, title))

    bf.install(monkeypatch, llm_metrics, catalogue())
    monkeypatch.setattr(llm_metrics, "Table", QuietTable)
    monkeypatch.setattr(builtins, "sorted", refuse)
    monkeypatch.setattr(builtins, "print", refuse)
    monkeypatch.setattr(llm_metrics, "sorted", refuse, raising=False)
    monkeypatch.setattr(llm_metrics, "print", refuse, raising=False)
    llm_metrics.LLMMetrics(client).show_supported_metrics(task_type="t", metric_id="zzz")
    monkeypatch.undo()
    assert capsys.readouterr().out == red("The metric: zzz is not valid.")
    assert [c.title for c in bf.RecordingTable.calls] == [bf.ALL_METRICS_TITLE]
