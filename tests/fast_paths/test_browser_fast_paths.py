"""The browser's shortcuts (shared function texts, reads of plain catalogue
members) leave every call looking exactly as if it ran the long way."""

from __future__ import annotations

import gc
import sys
from pathlib import Path

import pytest


import browser_fakes as bf  # noqa: E402


def _nested_functions(llm_metrics) -> list:
    function_type = type(llm_metrics.LLMMetrics.show_supported_metrics)
    return [f for f in gc.get_objects() if type(f) is function_type and "<locals>" in f.__qualname__]


def test_renaming_nested_functions_during_a_call_does_not_leak_into_the_next(llm_metrics, client, monkeypatch):
    bf.install(monkeypatch, llm_metrics, bf.make_catalogue("plain"))
    seen: list = []

    class RenamingTable(bf.RecordingTable):
        def list(self, *, title):
            if not seen[-1]:
                for fn in _nested_functions(llm_metrics):
                    seen[-1].append((fn.__name__, fn.__qualname__))
                    fn.__name__, fn.__qualname__ = "renamed", "renamed.qualname"
            super().list(title=title)

    monkeypatch.setattr(llm_metrics, "Table", RenamingTable)
    metrics = llm_metrics.LLMMetrics(client)
    for _ in range(2):
        seen.append([])
        metrics.show_supported_metrics()
    assert len(seen[0]) == 8 and sorted(seen[0]) == sorted(seen[1])
    assert all(q == "LLMMetrics.show_supported_metrics.<locals>." + n for n, q in seen[0])


import io  # noqa: E402
import types  # noqa: E402

import reference_browser  # noqa: E402


def _run(call):
    bf.RecordingTable.calls = []
    out = io.StringIO()
    saved, sys.stdout = sys.stdout, out
    try:
        try:
            call()
            outcome = None
        except Exception as exc:  # noqa: BLE001 - compared
            outcome = (type(exc), str(exc), getattr(exc, "name", None), getattr(exc, "obj", None))
    finally:
        sys.stdout = saved
    tables = [(c.headers, [list(r) for r in c.record], c.title) for c in bf.RecordingTable.calls]
    return outcome, out.getvalue(), tables


class _DictSubclass(dict):
    def __getitem__(self, key):  # not used by attribute lookup
        return "from __getitem__"


def _other_class(member):
    class Other(type(member)):
        @property
        def supported_tasks(self):
            return ["from", "property"]

    return Other


MUTATIONS = {
    "nothing": lambda c: None,
    "data_descriptor_added": lambda c: setattr(c.metrics, "supported_tasks", property(lambda self: ["qa"])),
    "class_attribute_added": lambda c: setattr(c.metrics, "metrics_group", "class-level group"),
    "class_attribute_shadowed_by_instances": lambda c: setattr(c.subs, "metrics_group", "never seen"),
    "getattr_added": lambda c: setattr(c.metrics, "__getattr__", lambda self, name: f"dynamic {name}"),
    "getattribute_added": lambda c: setattr(
        c.subs, "__getattribute__", lambda self, name: "x" if name == "is_reference_free" else object.__getattribute__(self, name)
    ),
    "base_gets_descriptor": lambda c: setattr(c.base, "is_reference_free", property(lambda self: "base says yes")),
    # Other positions, and keys equal to the names read but other objects.
    "dicts_rebuilt_in_other_order": lambda c: [
        setattr(m, "__dict__", {"".join(list(k)): v for k, v in reversed(m.__dict__.items())})
        for m in c.metrics._members
    ],
    "dict_subclass": lambda c: [setattr(m, "__dict__", _DictSubclass(m.__dict__)) for m in c.subs._members],
    "member_class_changed": lambda c: setattr(c.metrics._members[1], "__class__", _other_class(c.metrics._members[1])),
    "attribute_deleted": lambda c: delattr(c.subs._members[0], "supported_tasks"),
    "value_deleted": lambda c: delattr(c.metrics._members[2], "value"),
}


def _plain_catalogue_with_base():
    """The small browser catalogue, its three classes sharing a plain base class."""

    class Base:
        pass

    def make(name, specs):
        cls = bf.PlainCatalogue(name, (Base,), {"_members": ()})
        members = []
        for spec in specs:
            member = object.__new__(cls)
            member.__dict__.update(spec)
            members.append(member)
        cls._members = tuple(members)
        return cls

    subs = make("LLMSubMetrics", bf.SUBS)
    by_id = {m.value: m for m in subs._members}
    metric_specs = []
    for spec in bf.METRICS:
        spec = dict(spec)
        if isinstance(spec.get("sub_metrics"), list):
            spec["sub_metrics"] = [by_id[i] for i in spec["sub_metrics"]]
        metric_specs.append(spec)
    tasks = make("LLMTaskType", [dict(value=t) for t in bf.TASKS])
    metrics = make("LLMMetricType", metric_specs)
    module = types.ModuleType(bf.ENTITIES)
    module.LLMTaskType, module.LLMMetricType, module.LLMSubMetrics = tasks, metrics, subs
    catalogue = bf.Catalogue(tasks, metrics, subs, module)
    catalogue.base = Base
    return catalogue


@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
@pytest.mark.parametrize("arguments", [{}, {"task_type": "generation"}, {"metric_group": "rouge_score"},
                                       {"metric_id": "rouge1", "metric_group": "rouge_score"}])
def test_plain_catalogues_read_as_python_reads_them_after_changes(llm_metrics, client, monkeypatch, mutation, arguments):
    catalogue = _plain_catalogue_with_base()
    bf.install(monkeypatch, llm_metrics, catalogue)
    obj = llm_metrics.LLMMetrics(client)
    for _ in range(2):  # the first call fills the read sites' memory
        assert _run(lambda: obj.show_supported_metrics(**arguments)) == _run(
            lambda: reference_browser.show_supported_metrics(obj, llm_metrics, **arguments))
    MUTATIONS[mutation](catalogue)
    for _ in range(2):
        assert _run(lambda: obj.show_supported_metrics(**arguments)) == _run(
            lambda: reference_browser.show_supported_metrics(obj, llm_metrics, **arguments))
