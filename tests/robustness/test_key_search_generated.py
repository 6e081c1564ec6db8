"""__is_key_present on generated configurations, against the plain-Python rule.

Configurations of random shape and depth: dictionaries and dictionary
subclasses (some with a hostile `in` or values()), objects that only pose as
dictionaries, values that refer back to an enclosing dictionary, values whose
isinstance() test raises or changes the dictionary being searched, and keys
that cannot be hashed or compared.  Every configuration is built afresh for
each implementation, since some of them change while being searched.
"""

from __future__ import annotations

import sys
import types
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import key_search_mutations as ksm
import robust_support as rs

PRIVATE = "_LLMMetrics__is_key_present"

_instances: dict[str, Any] = {}


def instance(impl: str) -> Any:
    if impl not in _instances:
        _instances[impl] = rs.IMPLEMENTATIONS[impl].LLMMetrics(rs.make_client())
    return _instances[impl]


def search_outcome(call) -> rs.Outcome:
    return rs.observe(call)


@given(plan=rs.top_config_plans(), key_plan=rs.key_plans())
def test_search_follows_the_plain_rule(plan: Any, key_plan: Any) -> None:
    native_outcome = search_outcome(
        lambda: instance("native")._LLMMetrics__is_key_present(rs.build_config(plan), rs.build_key(key_plan)))
    reference = search_outcome(lambda: rs.reference_is_key_present(rs.build_config(plan), rs.build_key(key_plan)))
    rs.assert_same(native_outcome, reference)


def _subclass(impl: str, returns: str) -> type:
    base = rs.IMPLEMENTATIONS[impl].LLMMetrics

    class Counting(base):  # type: ignore[misc, valid-type]
        def _LLMMetrics__is_key_present(self, config: Any, key: Any) -> Any:
            self.log.append(("searched", rs.describe(key)))
            found = base._LLMMetrics__is_key_present(self, config, key)
            if returns == "text":
                return "yes" if found else ""
            if returns == "list":
                return [found] if found else []
            return found

    return Counting


def _caller(impl: str, how: str) -> tuple[Any, Any]:
    """The object searched through and the callable that starts the search."""
    cls = rs.IMPLEMENTATIONS[impl].LLMMetrics
    if how.startswith("subclass"):
        obj = _subclass(impl, how.partition("-")[2])(rs.make_client())
        obj.log = []
        return obj, getattr(obj, PRIVATE)
    if how == "instance-attribute":
        obj = cls(rs.make_client())
        obj.log = []

        def replacement(config: Any, key: Any) -> Any:
            obj.log.append(("replacement", rs.describe(key)))
            return rs.reference_is_key_present(config, key)

        setattr(obj, PRIVATE, replacement)
        return obj, getattr(cls, PRIVATE).__get__(obj)
    if how == "metaclass-mro":
        # The class's mro() puts another class first, and instances have no __dict__.
        class First:
            __slots__ = ()

            def _LLMMetrics__is_key_present(self, config: Any, key: Any) -> Any:
                self.log.append(("first", rs.describe(key)))
                return getattr(cls, PRIVATE)(self, config, key)

        class Reordering(type):
            def mro(klass) -> list:
                return [klass, First, *type.mro(klass)[1:]]

        obj = Reordering("Reordered", (cls,), {"__slots__": ("log",)})(rs.make_client())
        obj.log = []
        return obj, getattr(cls, PRIVATE).__get__(obj)
    if how == "property-earlier":
        class Supplies:
            @property
            def _LLMMetrics__is_key_present(self) -> Any:
                self.log.append(("property",))
                return getattr(cls, PRIVATE).__get__(self)

        obj = type("Supplied", (Supplies, cls), {})(rs.make_client())
        obj.log = []
        return obj, getattr(cls, PRIVATE).__get__(obj)
    if how == "foreign-self":
        obj = types.SimpleNamespace(log=[])
        setattr(obj, PRIVATE, rs.reference_is_key_present)
        return obj, getattr(cls, PRIVATE).__get__(obj)
    obj = types.SimpleNamespace(log=[])  # no method to recurse with: AttributeError at the first nested dict
    return obj, getattr(cls, PRIVATE).__get__(obj)


@given(
    plan=rs.top_config_plans(),
    key_plan=rs.key_plans(),
    how=st.sampled_from(["subclass-bool", "subclass-text", "subclass-list", "instance-attribute", "metaclass-mro",
                         "property-earlier", "foreign-self", "bare-self"]),
)
def test_nested_levels_go_through_the_instance_as_python_would(plan: Any, key_plan: Any, how: str) -> None:
    outcomes = {}
    for impl in ("native", "baseline"):
        obj, start = _caller(impl, how)
        outcomes[impl] = search_outcome(lambda: start(rs.build_config(plan), rs.build_key(key_plan)))
        if outcomes[impl].exc_type is not RecursionError:
            outcomes[impl].log = obj.log
    rs.assert_same(outcomes["native"], outcomes["baseline"])


@pytest.mark.parametrize("depth", [1, 50, 400])
@pytest.mark.parametrize("where", ["bottom", "nowhere", "list-at-bottom"])
def test_deep_chains(depth: int, where: str) -> None:
    def chain() -> dict:
        inner: dict = {"k": 1} if where == "bottom" else {"z": [{"k": 1}]} if where == "list-at-bottom" else {}
        for level in range(depth):
            inner = {f"level{level}": inner, "leaf": level}
        return inner

    expected = where == "bottom"
    assert instance("native")._LLMMetrics__is_key_present(chain(), "k") is expected
    assert rs.reference_is_key_present(chain(), "k") is expected


@pytest.mark.no_refleak
def test_self_containing_configuration_at_raised_recursion_limits() -> None:
    # A self-containing configuration ends in RecursionError however high the
    # limit is set, on the main thread and on threads of the default stack
    # size, searched by the class or through an overriding method: every
    # level is a call, and the interpreter's own recursion guard applies.
    result = rs.run_python(
        f"""
        import sys, threading
        import {rs.MODULE_NAME} as m
        from zel_tarn_quillgate import TarnQuillgateV2Adapter
        from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator

        client = TarnQuillgateV2Adapter(BearerTokenAuthenticator("t"), "https://x.example")

        class Override(m.LLMMetrics):
            def _LLMMetrics__is_key_present(self, config, key):
                return m.LLMMetrics._LLMMetrics__is_key_present(self, config, key)

        def run(label, classes):
            for cls in classes:
                obj = cls(client)
                loop = {{}}
                loop["again"] = {{"x": loop}}
                for limit in (50, 1000, 100_000, 1_000_000):
                    sys.setrecursionlimit(limit)
                    try:
                        obj._LLMMetrics__is_key_present(loop, "missing")
                    except RecursionError:
                        pass
                    else:
                        raise AssertionError("no RecursionError")
                    finally:
                        sys.setrecursionlimit(1000)
                    assert obj._LLMMetrics__is_key_present({{"a": {{"b": {{}}}}}}, "b") is True
            print(label, "ok")

        def in_thread(label, classes, stack_size):
            threading.stack_size(stack_size)
            t = threading.Thread(target=run, args=(label, classes))
            t.start()
            t.join()

        run("main", (m.LLMMetrics, Override))
        in_thread("default-stack", (m.LLMMetrics, Override), 0)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["main", "ok", "default-stack", "ok"]


@pytest.mark.parametrize("action", ksm.ACTIONS)
@pytest.mark.parametrize("trigger", sorted(ksm.TRIGGERS))
def test_code_between_levels_is_seen_at_the_next_level(trigger: str, action: str) -> None:
    # The search reuses its last method lookup only while no code can have
    # run; code that runs in a level it walks in place changes how the
    # following levels are searched exactly as in plain Python.
    rs.assert_same(ksm.run("native", trigger, action), ksm.run("baseline", trigger, action))


def test_a_lookup_that_runs_code_is_made_at_every_level() -> None:
    native, baseline = (ksm.run_with_foreign_attribute_key(impl) for impl in ("native", "baseline"))
    assert baseline.log.count("compared") > 1
    rs.assert_same(native, baseline)
