"""Catalogue building and the task-type query: id order, the sub-metric
winning a shared id, groups listed once, stable order among equal ids."""

from __future__ import annotations

import gc

import pytest

import fakes as bf
from fakes import metric
from llm_metrics_testing import oracle


@pytest.fixture
def show(llm_metrics, client, monkeypatch):
    """Runs the call on a catalogue in the module and the oracle (the same
    text and tables), and returns the module's Table calls."""

    def run(catalogue, **kwargs):
        bf.install(monkeypatch, llm_metrics, catalogue, oracle)
        return bf.shown_as_by_the_oracle(llm_metrics, oracle, client, **kwargs).calls

    return run


@pytest.mark.parametrize("kind", ["enum", "plain"])
def test_ids_in_ascending_order_whatever_the_definition_order(show, kind) -> None:
    cat = bf.make_catalogue(kind, tasks=["t"], metrics=[metric("m"), metric("c"), metric("x")],
                            subs=[metric("b", metrics_group=None), metric("a", metrics_group=None)])
    metrics_table = show(cat)[0]
    assert [row[0] for row in metrics_table.record] == ["a", "b", "c", "m", "x"]


@pytest.mark.parametrize("kind", ["enum", "plain"])
def test_shared_id_maps_to_the_sub_metric_at_its_sorted_place(show, kind) -> None:
    cat = bf.make_catalogue(kind, tasks=["t"],
                            metrics=[metric("z", tasks=["t", "metric-type"]), metric("dup", tasks=["t", "metric-type"])],
                            subs=[metric("dup", tasks=["t", "sub"], metrics_group="z"), metric("a", metrics_group=None)])
    metrics_table = show(cat)[0]
    assert [row[0] for row in metrics_table.record] == ["a", "dup", "z"]
    assert metrics_table.record[1][2] is list(cat.subs)[0].supported_tasks
    # The query keeps both members, the metric type first (stable sort).
    query_table = show(cat, task_type="t")[0]
    assert [row[0] for row in query_table.record] == ["a", "dup", "dup", "z"]
    assert [row[2][1] for row in query_table.record[1:3]] == ["metric-type", "sub"]


def test_groups_listed_once_and_none_skipped(show) -> None:
    subs = [metric("s1", metrics_group="g1"), metric("s2", metrics_group=None), metric("s3", metrics_group="g2"),
            metric("s4", metrics_group="g1"), metric("s5", metrics_group="g2")]
    cat = bf.make_catalogue("plain", tasks=["t"], metrics=[metric("g1"), metric("g2")], subs=subs)
    groups_table = show(cat)[2]
    assert sorted(groups_table.record) == [["g1"], ["g2"]]


def test_empty_enumerations_give_empty_tables(show) -> None:
    cat = bf.make_catalogue("plain", tasks=[], metrics=[], subs=[])
    assert show(cat)[0].record == []


def test_task_type_no_metric_supports_gives_an_empty_table(show) -> None:
    cat = bf.make_catalogue("enum", tasks=["t", "lonely"], metrics=[metric("m")], subs=[])
    assert [c.record for c in show(cat, task_type="lonely")] == [[]]
    show(cat, task_type="lonely", metric_id="m")


def test_membership_uses_the_containers_own_test(show) -> None:
    class Everything:
        def __contains__(self, item):
            return True

    cat = bf.make_catalogue("plain", tasks=["t", "u"], metrics=[dict(metric("b"), supported_tasks=Everything()),
                                                                  metric("a", tasks=["u"])], subs=[])
    calls = show(cat, task_type="t")
    assert [row[0] for row in calls[0].record] == ["b"]
    assert isinstance(calls[0].record[0][2], Everything)


@pytest.mark.parametrize("kind", ["enum", "plain"])
@pytest.mark.parametrize("build", [bf.make_catalogue, lambda kind: bf.build_catalogue(kind, 30)],
                         ids=["small", "synthetic"])
def test_fake_members_keep_their_attributes_inline(build, kind) -> None:
    # Members are built as a plugin builds them (attributes set in __init__ or
    # an enumeration's __new__), so the browser reads them the way it reads a
    # plugin's: from the object's inline values, with no instance dict made.
    cat = build(kind)
    for cls in (cat.tasks, cat.metrics, cat.subs):
        for member in cls:
            assert not [r for r in gc.get_referents(member) if type(r) is dict], (cls, member.value)
