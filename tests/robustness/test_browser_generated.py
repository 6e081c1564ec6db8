"""show_supported_metrics on generated catalogues and arguments, against the
plain-Python body of the class.

A catalogue plan gives the three enumerations: ids shared between them,
unhashable or incomparable ids, `supported_tasks` containers of every kind
(one whose membership test raises among them), missing, None or raising
`metrics_group` and `sub_metrics`, odd truth values, enumerations that fail
while iterated or are no classes at all, an entities module that cannot be
imported (and then a constants module for the legacy listing, complete or
not).  The arguments are None, ids (valid, in another letter case, padded),
members of any of the enumerations, other types, unhashable values and
values whose comparison, hashing or formatting fails.  Both implementations
run on the same objects (every hostile hook is stateless) and must print the
same text, make the same Table calls with the same objects, read the same
attributes in the same order, and end alike.
"""

from __future__ import annotations

import types
from typing import Any

from hypothesis import given
from hypothesis import strategies as st

import robust_support as rs
from robust_support import weighted
from browser_plans import (ARG_ODDS, IDS, ODD_IDS, REF_VALUES, ROLES, TASK_CONTAINERS, TRACE, _members, build,
                           build_argument, build_real_argument, run, same)


def id_plans() -> st.SearchStrategy[Any]:
    return weighted(st.tuples(st.just("id"), st.integers(0, len(IDS) - 1)),
                    st.tuples(st.just("odd"), st.integers(0, len(ODD_IDS) - 1)), 97)


def member_plans(is_sub: bool) -> st.SearchStrategy[dict[str, Any]]:
    group_common = st.tuples(st.just("id"), st.integers(0, len(IDS) - 1)) if is_sub else st.just(("missing",))
    return st.fixed_dictionaries({
        "value": id_plans(),
        "tasks": weighted(st.tuples(st.just("list"), st.lists(st.integers(0, len(IDS) - 1), max_size=3)),
                          st.tuples(st.sampled_from(TASK_CONTAINERS), st.lists(st.integers(0, len(IDS) - 1),
                                                                               max_size=3)), 85),
        "ref": weighted(st.integers(0, 5), st.integers(0, len(REF_VALUES) - 1), 90),
        "group": weighted(group_common, st.sampled_from(
            [("missing",), ("none",), ("unhashable",), ("raises",), ("raises_attribute",), ("id", 0)]), 88),
        "subs": weighted(st.sampled_from([("missing",), ("none",)]) if is_sub else
                         st.tuples(st.just("members"), st.lists(st.integers(0, 5), max_size=3)),
                         st.sampled_from([("missing",), ("none",), ("int",), ("objects",), ("raises",),
                                          ("members", (0,)), ("members", (0, 1))]), 85),
    })


def enumeration_shapes() -> st.SearchStrategy[str]:
    return weighted(st.just("class"), st.sampled_from(["fails", "list"]), 97)


def catalogue_plans() -> st.SearchStrategy[dict[str, Any]]:
    return st.fixed_dictionaries({
        "tasks": st.lists(weighted(st.tuples(st.just("id"), st.integers(0, len(IDS) - 1)),
                                   st.tuples(st.just("odd"), st.integers(0, len(ODD_IDS) - 1)), 95), max_size=4),
        "metrics": st.lists(member_plans(False), max_size=5),
        "subs": st.lists(member_plans(True), max_size=5),
        "shapes": st.tuples(enumeration_shapes(), enumeration_shapes(), enumeration_shapes()),
        "entities": weighted(st.just("normal"), st.sampled_from(["absent", "incomplete"]), 90),
        "constants": st.sampled_from(["normal", "incomplete", "absent", "not_iterable", "odd_members"]),
        "table": weighted(st.just("recording"), st.sampled_from(
            ["init_raises", "list_raises_for_task_types", "not_callable", "absent"]), 92),
    })


def argument_plans() -> st.SearchStrategy[Any]:
    return weighted(st.just(("none",)), weighted(
        st.tuples(st.just("present"), st.integers(0, 9)),
        st.one_of(
            st.tuples(st.just("id"), st.integers(0, len(IDS) - 1)),
            st.tuples(st.sampled_from(["task", "metric", "sub"]), st.integers(0, 4)),
            st.tuples(st.just("odd"), st.integers(0, len(ARG_ODDS) - 1)),
        ), 60), 45)


@given(
    plan=catalogue_plans(),
    arguments=st.tuples(argument_plans(), argument_plans(), argument_plans()),
    by_keyword=st.booleans(),
)
def test_browser_behaves_as_the_python_body(plan: dict[str, Any], arguments: tuple[Any, ...],
                                            by_keyword: bool) -> None:
    built = build(plan)
    args = tuple(build_argument(p, built, role) for p, role in zip(arguments, ROLES))
    native_outcome, native_tables, native_trace = run("native", built, plan, args, by_keyword)
    baseline_outcome, baseline_tables, baseline_trace = run("baseline", built, plan, args, by_keyword)
    rs.assert_same(native_outcome, baseline_outcome)
    assert native_outcome.returned == ("NoneType", None) or native_outcome.raised
    assert same(native_tables, baseline_tables), (native_tables, baseline_tables)
    assert native_trace == baseline_trace


def real_arguments() -> st.SearchStrategy[Any]:
    return weighted(st.just(("none",)), st.one_of(
        st.tuples(st.sampled_from(["task", "metric", "sub"]), st.integers(0, 40)),
        st.tuples(st.sampled_from(["task_value", "metric_value", "sub_value"]), st.integers(0, 40)),
        st.tuples(st.just("odd"), st.integers(0, len(ARG_ODDS) - 1)),
    ), 40)


@given(arguments=st.tuples(real_arguments(), real_arguments(), real_arguments()))
def test_browser_on_the_stand_in_plugin_prints_what_the_python_body_prints(arguments: tuple[Any, ...]) -> None:
    args = tuple(build_real_argument(p) for p in arguments)
    outcomes = {impl: rs.observe(lambda: rs.IMPLEMENTATIONS[impl].LLMMetrics(rs.make_client())
                                 .show_supported_metrics(*args))
                for impl in ("native", "baseline")}
    rs.assert_same(outcomes["native"], outcomes["baseline"])


@given(
    plan=catalogue_plans(),
    arguments=st.tuples(argument_plans(), argument_plans(), argument_plans()),
    hostile=st.lists(st.tuples(
        st.sampled_from(["metric", "sub", "task"]), st.integers(0, 4),
        st.sampled_from(["value", "supported_tasks", "is_reference_free", "metrics_group", "sub_metrics"]),
        st.sampled_from(["clear", "append", "replace"]), st.integers(1, 3)), min_size=1, max_size=3),
)
def test_browser_survives_members_that_change_what_holds_them(plan: dict[str, Any], arguments: tuple[Any, ...],
                                                              hostile: list[Any]) -> None:
    # No yardstick here (the two implementations hold members in different
    # containers): the call returns None or raises an ordinary exception, and
    # the module works normally afterwards.
    built = build(plan)
    for kind, index, attribute, action, countdown in hostile:
        members = _members({"task": built.task_cls, "metric": built.metric_cls, "sub": built.sub_cls}[kind])
        if members:
            member = members[index % len(members)]
            object.__getattribute__(member, "__dict__")["hostile"] = [attribute, action, countdown]
    args = tuple(build_argument(p, built, role) for p, role in zip(arguments, ROLES))
    outcome, _, _ = run("native", built, plan, args, False)
    rs.assert_ordinary(outcome)
    assert outcome.raised or outcome.returned == ("NoneType", None)
    TRACE.clear()
    sanity = rs.observe(lambda: rs.native.LLMMetrics(rs.make_client()).show_supported_metrics(metric_id="bleu"))
    assert not sanity.raised and "bleu metric supports the following task type(s):" in sanity.stdout

