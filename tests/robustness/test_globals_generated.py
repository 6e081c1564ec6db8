"""Module globals rebound, deleted and shadowed in generated sequences,
between calls and during them, against the plain-Python module.

Each operation changes the module globals (or the builtins) that the methods
look up at every use; after each call the outcome must match the Python
module's after the same sequence.  Last, threads rebind the globals while
other threads call the methods.
"""

from __future__ import annotations

import builtins
import itertools
import sys
import threading
import time
import traceback
import types
from typing import Any

import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import robust_support as rs

NAMES = ["Table", "validate_type", "pd", "chain", "LLMAJEvaluators", "BearerTokenAuthenticator"]
VARIANTS = ["original", "A", "B", "odd", "rebinding"]
CALLS = ["browser", "browser_all", "compute", "construct"]


class Manager:
    def __init__(self, configuration: Any, **kwargs: Any) -> None:
        pass

    def compute(self, *args: Any, **kwargs: Any) -> dict[str, Any]:
        return {"plugin": 1}


def variant(name: str, which: str, module: Any, log: list[Any]) -> Any:
    """The value bound to `name` in `module` for a variant."""
    if which == "original":
        return ORIGINALS[name]
    if which == "odd":
        return 5
    original = ORIGINALS[name]
    if which == "rebinding":
        # Rebinds the global to variant A of the same module as it is used.
        def rebind() -> None:
            log.append(("rebinding", name))
            setattr(module, name, variant(name, "A", module, log))
    else:
        def rebind() -> None:
            log.append((which, name))

    if name == "Table":
        class Table(original):  # type: ignore[misc, valid-type]
            def __init__(self, headers: Any, record: Any) -> None:
                rebind()
                super().__init__(headers, record)

        return Table
    if name == "validate_type":
        def validate_type(*args: Any) -> Any:
            rebind()
            return original(*args)

        return validate_type
    if name == "pd":
        rebind_on_read = rebind

        class Pandas(types.ModuleType):
            @property
            def DataFrame(self) -> Any:
                rebind_on_read()
                return pd.DataFrame

        return Pandas("pd")
    if name == "chain":
        def chain(*iterables: Any) -> Any:
            rebind()
            return itertools.chain(*iterables)

        return chain
    if name == "LLMAJEvaluators":
        class Evaluators(original):  # type: ignore[misc, valid-type]
            def __init__(self, client: Any) -> None:
                rebind()
                super().__init__(client)

        return Evaluators
    # BearerTokenAuthenticator: compared by identity with the client's
    # authenticator type, so a variant is a subclass that no client uses.
    rebind()
    return type(f"Bearer{which}", (original,), {})


ORIGINALS = {name: getattr(rs.native, name) for name in NAMES}


def operations() -> st.SearchStrategy[list[Any]]:
    op = st.one_of(
        st.tuples(st.just("set"), st.sampled_from(NAMES), st.sampled_from(VARIANTS)),
        st.tuples(st.just("del"), st.sampled_from(NAMES)),
        st.tuples(st.just("set_builtin"), st.sampled_from(NAMES), st.sampled_from(VARIANTS)),
        st.tuples(st.just("del_builtin"), st.sampled_from(NAMES)),
        st.tuples(st.just("call"), st.sampled_from(CALLS)),
        st.tuples(st.just("call"), st.sampled_from(CALLS)),
    )
    return st.lists(op, min_size=1, max_size=12)


def call(kind: str, module: Any) -> Any:
    client = rs.make_client()
    if kind == "construct":
        obj = module.LLMMetrics(client)
        return lambda: (type(obj.evaluators).__name__, obj.is_bearer_token)
    obj = module.LLMMetrics.__new__(module.LLMMetrics)
    obj.ai_client, obj.is_bearer_token, obj.evaluators = client, True, None
    if kind == "browser":
        return lambda: obj.show_supported_metrics(metric_id="bleu")
    if kind == "browser_all":
        return lambda: obj.show_supported_metrics()
    frame = pd.DataFrame({"text": ["a"]})
    return lambda: obj.compute_metrics({}, frame, None, frame)


def run_sequence(impl: str, ops: list[Any]) -> list[rs.Outcome]:
    module = rs.IMPLEMENTATIONS[impl]
    log: list[Any] = []
    outcomes = []
    saved_builtins = {name: vars(builtins).get(name, rs._MISSING) for name in NAMES}
    try:
        with rs.patched({rs.MANAGER: rs.fake_module(rs.MANAGER, LLMMetricManager=Manager)},
                        {name: ORIGINALS[name] for name in NAMES}):
            for op in ops:
                if op[0] == "set":
                    setattr(module, op[1], variant(op[1], op[2], module, log))
                elif op[0] == "del":
                    vars(module).pop(op[1], None)
                elif op[0] == "set_builtin":
                    setattr(builtins, op[1], variant(op[1], op[2], module, log))
                elif op[0] == "del_builtin":
                    vars(builtins).pop(op[1], None)
                else:
                    log.clear()
                    outcome = rs.observe(lambda: call(op[1], module)(), log=[])
                    outcome.log = list(log)
                    outcomes.append(outcome)
    finally:
        for name, value in saved_builtins.items():
            if value is rs._MISSING:
                vars(builtins).pop(name, None)
            else:
                setattr(builtins, name, value)
    return outcomes


@given(ops=operations())
def test_global_changes_are_seen_as_the_python_module_sees_them(ops: list[Any]) -> None:
    native_outcomes = run_sequence("native", ops)
    baseline_outcomes = run_sequence("baseline", ops)
    assert len(native_outcomes) == len(baseline_outcomes)
    for native_outcome, baseline_outcome in zip(native_outcomes, baseline_outcomes):
        rs.assert_same(native_outcome, baseline_outcome)


@pytest.mark.no_refleak
def test_globals_rebound_by_one_thread_while_others_call() -> None:
    # One thread keeps swapping Table and validate_type between two variants
    # (and deleting and restoring Table); the others call the methods and
    # check every result, or that the missing global was reported by name.
    # Afterwards the last binding is the one used.
    module = rs.native

    class TableA(ORIGINALS["Table"]):
        tag = "A"

    class TableB(ORIGINALS["Table"]):
        tag = "B"

    def validate_a(*args: Any) -> Any:
        return ORIGINALS["validate_type"](*args)

    def validate_b(*args: Any) -> Any:
        return ORIGINALS["validate_type"](*args)

    class Silent:
        def write(self, text: str) -> int:
            return len(text)

        def flush(self) -> None:
            pass

    stop = threading.Event()
    failures: list[str] = []
    calls = [0]

    def swapper() -> None:
        try:
            for n in itertools.count():
                if stop.is_set():
                    break
                module.Table = TableA if n % 2 else TableB
                module.validate_type = validate_a if n % 3 else validate_b
                if n % 7 == 0:
                    del module.Table
                    module.Table = TableA
        except BaseException:
            failures.append(traceback.format_exc())

    def caller() -> None:
        try:
            obj = module.LLMMetrics(rs.make_client())
            frame = pd.DataFrame({"text": ["a"]})
            while not stop.is_set():
                try:
                    obj.show_supported_metrics(metric_id="bleu")
                except NameError as exc:
                    assert str(exc) == "name 'Table' is not defined", exc
                assert obj.compute_metrics({}, frame, None, frame) == {"plugin": 1}
                calls[0] += 1
        except BaseException:
            failures.append(traceback.format_exc())

    saved_stdout, saved_interval = sys.stdout, sys.getswitchinterval()
    with rs.patched({rs.MANAGER: rs.fake_module(rs.MANAGER, LLMMetricManager=Manager)},
                    {"Table": TableA, "validate_type": validate_a}):
        sys.stdout = Silent()
        threads = [threading.Thread(target=swapper, daemon=True)]
        threads += [threading.Thread(target=caller, daemon=True) for _ in range(4)]
        try:
            sys.setswitchinterval(1e-6)
            for thread in threads:
                thread.start()
            time.sleep(3.0)
            stop.set()
            deadline = time.monotonic() + 60
            for thread in threads:
                thread.join(max(0.0, deadline - time.monotonic()))
        finally:
            stop.set()
            sys.setswitchinterval(saved_interval)
            sys.stdout = saved_stdout
    assert not [t for t in threads if t.is_alive()], "threads still running"
    assert not failures, "\n".join(failures)
    assert calls[0] > 0

    class Last(ORIGINALS["Table"]):
        def list(self, *, title: Any) -> None:
            print("last table:", title)

    with rs.patched(module_globals={"Table": Last}):
        outcome = rs.observe(lambda: module.LLMMetrics(rs.make_client()).show_supported_metrics(metric_id="bleu"))
    assert outcome.stdout.startswith("last table: The bleu metric supports the following task type(s):")
