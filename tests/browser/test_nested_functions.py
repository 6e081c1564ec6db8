"""The nested functions and sort keys of a call: function objects of the
module's own type with their names, parameters and defaults, usable from
Python while the call runs, and gone (or cut off) once it returns."""

from __future__ import annotations

import ast
import gc
import inspect
import pathlib
import re
import textwrap
import types

import pytest

import fakes as bf
from llm_metrics_testing import oracle

LOCALS = "LLMMetrics.show_supported_metrics.<locals>."


def live_functions(module, exclude=()) -> dict:
    """The nested functions (sort keys included) of `module`'s calls alive now."""
    function_type = type(module.LLMMetrics.show_supported_metrics)
    # The oracle's are plain Python functions: told apart by their module.
    return {f.__qualname__: f for f in gc.get_objects()
            if type(f) is function_type and "<locals>" in f.__qualname__ and f not in exclude
            and (function_type is not types.FunctionType or f.__module__ == module.__name__)}


class SpyTable(bf.RecordingTable):
    """Collects the live nested functions the first time a table is listed."""

    seen: dict = {}

    def list(self, *, title):
        if not type(self).seen:
            type(self).seen = live_functions(type(self).module)
        super().list(title=title)


@pytest.fixture
def spied(llm_metrics, client, monkeypatch):
    bf.install(monkeypatch, llm_metrics, bf.make_catalogue("enum"))
    monkeypatch.setattr(llm_metrics, "Table", SpyTable)
    SpyTable.seen, SpyTable.module = {}, llm_metrics
    yield llm_metrics.LLMMetrics(client)
    SpyTable.seen = {}


@pytest.fixture
def oracle_nested(client, monkeypatch) -> dict:
    """The oracle's nested functions, alive while its call lists the first table, by name."""
    spy = type("OracleSpyTable", (SpyTable,), {"seen": {}, "module": oracle})
    bf.install(monkeypatch, oracle, bf.make_catalogue("enum"))
    monkeypatch.setattr(oracle, "Table", spy)
    oracle.LLMMetrics(client).show_supported_metrics()
    return {qualname[len(LOCALS):]: fn for qualname, fn in spy.seen.items()}


def test_nested_functions_exist_while_the_call_runs(llm_metrics, oracle_nested, spied) -> None:
    spied.show_supported_metrics()
    assert set(SpyTable.seen) == {LOCALS + name for name in oracle_nested}
    for name, expected in oracle_nested.items():
        fn = SpyTable.seen[LOCALS + name]
        assert fn.__name__ == name and fn.__defaults__ == expected.__defaults__
        assert fn.__module__ == llm_metrics.__name__ and fn.__doc__ is expected.__doc__ is None
        assert repr(fn).startswith(f"<function {LOCALS}{name} at 0x")
        assert gc.is_tracked(fn)
    # Defaults are shared constants, like a code object's.
    first = SpyTable.seen[LOCALS + "__get_supported_metrics"].__defaults__
    SpyTable.seen = {}
    spied.show_supported_metrics()
    assert SpyTable.seen[LOCALS + "__get_supported_metrics"].__defaults__ is first


def test_sort_keys_are_module_functions_passed_to_sorted(llm_metrics, client, monkeypatch) -> None:
    seen = []

    class Spying(bf.PlainCatalogue):
        pass

    class Member(bf.PlainMember, metaclass=Spying):
        @property
        def value(self):
            seen.extend(q for q in live_functions(llm_metrics) if q.endswith("<lambda>"))
            return self.id

    def member(i, **attrs):
        return Member(id=i, supported_tasks=["t"], is_reference_free=True, **attrs)

    cat = bf.make_catalogue("plain", tasks=["t"], metrics=[], subs=[])
    Metrics = Spying("LLMMetricType", (Member,), {"_members": (member("b"), member("a"))})
    Subs = Spying("LLMSubMetrics", (Member,), {"_members": (member("c", metrics_group=None),)})
    cat.module.LLMMetricType, cat.module.LLMSubMetrics = Metrics, Subs
    bf.install(monkeypatch, llm_metrics, cat)
    obj = llm_metrics.LLMMetrics(client)
    obj.show_supported_metrics(metric_id="a")
    assert set(seen) == {LOCALS + "<lambda>"}
    seen.clear()
    obj.show_supported_metrics(task_type="t", metric_id="a")
    assert LOCALS + "__get_supported_metrics.<locals>.<lambda>" in seen


def test_nested_functions_callable_from_python(llm_metrics, spied, capsys) -> None:
    spied.show_supported_metrics(metric_id="bleu")
    fns = {q[len(LOCALS):]: f for q, f in SpyTable.seen.items()}
    # After the call the scope is gone: sharing functions report it, the others still work.
    with pytest.raises(NameError, match="free variable"):
        fns["__get_supported_metrics"]("generation")
    capsys.readouterr()
    fns["__display_error_msg"](error_message=5)
    fns["__display_error_msg"]("")
    assert capsys.readouterr().out == "\x1b[31m 5 \x1b[0m\n\x1b[31m  \x1b[0m\n"
    bf.RecordingTable.calls = []
    fns["__display_table"](["h"], record=[["r"]], title_table="t")
    assert [(c.headers, c.record, c.title) for c in bf.RecordingTable.calls] == [(["h"], [["r"]], "t")]
    with pytest.raises(TypeError, match="takes at most 2 positional arguments"):
        fns["__display_supported_metrics"](1, 2, 3)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        fns["__display_table"](x=1)


def test_nested_functions_work_from_python_during_the_call(llm_metrics, client, monkeypatch, capsys) -> None:
    results = {}

    class Calling(bf.RecordingTable):
        def list(self, *, title):
            super().list(title=title)
            if results:
                return
            fns = {q[len(LOCALS):]: f for q, f in live_functions(llm_metrics, earlier).items()}
            results["query"] = [m.value for m in fns["__get_supported_metrics"](_task_type="qa")]
            results["none"] = fns["__get_supported_metrics"]()
            fns["__display_supported_task_type"]("rouge1")
            fns["__display_supported_metrics"](metric_group_id="rouge_score")
            with pytest.raises(UnboundLocalError):
                fns["__display_supported_metrics"]()
            with pytest.raises(KeyError):
                fns["__display_supported_task_type"](metric_id="nope")

    cat = bf.make_catalogue("enum")
    bf.install(monkeypatch, llm_metrics, cat)
    monkeypatch.setattr(llm_metrics, "Table", Calling)
    earlier = list(live_functions(llm_metrics).values())  # kept alive by other tests, if any
    llm_metrics.LLMMetrics(client).show_supported_metrics(task_type="generation")
    assert results["query"] == ["bleu", "faithfulness"] and results["none"] == []
    assert [c.title for c in bf.RecordingTable.calls] == [
        "Metrics supported by the generation task type:", "rouge1 metric details:",
        "Metrics that come under the rouge_score metric group are:"]


def test_nothing_is_left_for_the_collector(llm_metrics, spied) -> None:
    gc.collect()
    gc.disable()
    try:
        for kwargs in ({}, dict(task_type="generation", metric_id="bleu"), dict(metric_group="bleu"),
                       dict(metric_id="nope")):
            SpyTable.seen = {}
            spied.show_supported_metrics(**kwargs)
            SpyTable.seen = {}
            assert live_functions(llm_metrics) == {}
            assert not [o for o in gc.get_objects() if type(o).__name__ == "browser_scope"]
    finally:
        gc.enable()


def test_renaming_nested_functions_during_a_call_does_not_leak_into_the_next(llm_metrics, client, monkeypatch,
                                                                             oracle_nested):
    bf.install(monkeypatch, llm_metrics, bf.make_catalogue("plain"))
    seen: list = []

    class RenamingTable(bf.RecordingTable):
        def list(self, *, title):
            if not seen[-1]:
                for fn in live_functions(llm_metrics).values():
                    seen[-1].append((fn.__name__, fn.__qualname__))
                    fn.__name__, fn.__qualname__ = "renamed", "renamed.qualname"
            super().list(title=title)

    monkeypatch.setattr(llm_metrics, "Table", RenamingTable)
    metrics = llm_metrics.LLMMetrics(client)
    for _ in range(2):
        seen.append([])
        metrics.show_supported_metrics()
    assert len(seen[0]) == len(oracle_nested) and sorted(seen[0]) == sorted(seen[1])
    assert all(q == "LLMMetrics.show_supported_metrics.<locals>." + n for n, q in seen[0])


def test_qualified_names_come_from_the_names_the_functions_were_made_with(llm_metrics, client, monkeypatch,
                                                                          oracle_nested):
    bf.install(monkeypatch, llm_metrics, bf.make_catalogue("plain"))
    function_type = type(llm_metrics.LLMMetrics.show_supported_metrics)
    seen: dict = {}

    class RenamingTable(bf.RecordingTable):
        def list(self, *, title):
            if not seen:
                for fn in gc.get_objects():
                    if type(fn) is function_type and fn.__name__ in oracle_nested:
                        original, fn.__name__ = fn.__name__, "renamed"
                        seen[original] = (fn.__qualname__, fn.__reduce__(), repr(fn))
            super().list(title=title)

    monkeypatch.setattr(llm_metrics, "Table", RenamingTable)
    llm_metrics.LLMMetrics(client).show_supported_metrics()
    assert set(seen) == set(oracle_nested)
    for name, (qualname, reduced, text) in seen.items():
        assert qualname == reduced == LOCALS + name
        assert text.startswith(f"<function {LOCALS}{name} at 0x")


def test_nested_function_signatures_and_the_variables_they_miss_after_the_call(oracle_nested, spied) -> None:
    spied.show_supported_metrics()
    fns = {q[len(LOCALS):]: f for q, f in SpyTable.seen.items()}
    assert {name: str(inspect.signature(fn)) for name, fn in fns.items()} == {
        name: str(inspect.signature(fn)) for name, fn in oracle_nested.items()}
    for name, variable in [("__display_all_supported_metrics", "all_metrics"),
                           ("__display_all_supported_task_type", "all_task_type"),
                           ("__display_all_supported_metric_group", "all_metric_group"),
                           ("__display_supported_metrics", "_LLMMetrics__get_supported_metrics")]:
        args = ("generation",) if name == "__display_supported_metrics" else ()
        with pytest.raises(NameError, match=f"free variable '{variable}' where"):
            fns[name](*args)


def test_rows_of_the_nested_functions_are_in_the_oracles_order() -> None:
    # The module makes its nested functions in row order, as the body's defs
    # run in source order; nothing else a test sees depends on it.
    header = pathlib.Path(__file__).resolve().parents[2] / "src/llm_metrics/browser/browser_scope.hpp"
    table = header.read_text().split("#define LLM_BROWSER_NESTED_FUNCTIONS(X)")[1].split("\n\n")[0]
    rows = ["__" + name for name in re.findall(r"^\s*X\((\w+),", table, re.MULTILINE)]
    source = ast.parse(textwrap.dedent(inspect.getsource(oracle.LLMMetrics.show_supported_metrics)))
    defined = [node.name for node in source.body[0].body if isinstance(node, ast.FunctionDef)]
    oracle_file = "tests/support/baseline_llm_metrics.py"
    for name in rows:
        assert name in defined, (
            f"{oracle_file}: show_supported_metrics has no nested def {name}, which LLM_BROWSER_NESTED_FUNCTIONS "
            f"({header.name}) has: write `def {name}(...)` in it, in plain Python, in the place of its row")
    for name in defined:
        assert name in rows, (
            f"LLM_BROWSER_NESTED_FUNCTIONS ({header.name}) has no row for the nested function {name} of the "
            f"oracle ({oracle_file}): add X({name.removeprefix('__')}, ...) in its order")
    assert rows == defined, (
        f"LLM_BROWSER_NESTED_FUNCTIONS ({header.name}) has its rows in the order {rows}; the oracle "
        f"({oracle_file}) defines them in the order {defined}: put the rows in that order")
