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

import sys
import types
from dataclasses import dataclass
from typing import Any

from hypothesis import given
from hypothesis import strategies as st

import fakes
import robust_support as rs
from fakes import ALL_TASK_TYPES_TITLE, BadFormat, BadTruth, ContainsRaises, TableCall
from robust_support import Boom, weighted

IDS = ["a", "b", "g", "s", "t", "u"]
ROLES = ("task_type", "metric_id", "metric_group")


class BadEq:
    """Equal to nothing: comparing raises (hash collides with "a")."""

    def __hash__(self) -> int:
        return hash("a")

    def __eq__(self, other: object) -> bool:
        raise Boom("eq")

    def __format__(self, format_spec: str) -> str:
        return "bad-eq"


class BadHash:
    def __hash__(self) -> int:
        raise Boom("hash")

    def __format__(self, format_spec: str) -> str:
        return "bad-hash"


class FormatRaises(str):
    def __format__(self, format_spec: str) -> str:
        raise Boom("format")


ODD_IDS: list[Any] = [1, 2.5, None, ["x"], BadHash(), BadEq(), "A", ""]
REF_VALUES: list[Any] = [True, False, 0, 1, "", "x", None, BadTruth(), (), [0]]
TASK_CONTAINERS = ["list", "tuple", "set", "str", "none", "raises", "missing", "frozenset"]
ARG_ODDS: list[Any] = [5, 2.5, b"a", ["a"], BadEq(), BadHash(), BadFormat("a"), BadFormat("zz"), FormatRaises("a"),
                       FormatRaises("zz"), "A", " a", "", ("a",), object()]


# ------------------------------------------------------------------ tracing

TRACE: list[Any] = []


class Catalogue(type):
    """A class whose iteration yields its members, like an enumeration."""

    def __iter__(cls) -> Any:
        TRACE.append(("iter", cls.__name__))
        if cls.__dict__.get("fail_iteration"):
            def members() -> Any:
                yield from cls._members[:1]
                raise Boom(f"iterating {cls.__name__}")

            return members()
        return iter(cls._members)


class Member:
    """Logs every read of a non-dunder attribute, hasattr tests included.

    A member given a "hostile" entry (attribute name, action, countdown)
    reaches, when that attribute has been read often enough, every list and
    dict that holds it (through the garbage collector, so the browser's own
    containers too) and changes them.
    """

    def __getattribute__(self, name: str) -> Any:
        if not name.startswith("__"):
            attrs = object.__getattribute__(self, "__dict__")
            TRACE.append(("get", attrs.get("tag"), name))
            hostile = attrs.get("hostile")
            if hostile is not None and hostile[0] == name:
                hostile[2] -= 1
                if hostile[2] == 0:
                    _meddle(self, hostile[1])
        return object.__getattribute__(self, name)


def _meddle(member: Any, action: str) -> None:
    import gc

    for holder in gc.get_referrers(member):
        if type(holder) is list and holder is not TRACE:
            if action == "clear":
                holder.clear()
            elif action == "append":
                holder.append(member)
            elif action == "replace":
                holder[:] = [object()] * len(holder)
        elif type(holder) is dict and holder.get("tag") is None:
            if action == "clear":
                holder.clear()
            elif action == "append":
                holder[("added", id(holder))] = member
            elif action == "replace":
                for key in list(holder):
                    holder[key] = object()


def _raising_property(exc: BaseException) -> property:
    return property(rs.raiser(exc))


# ------------------------------------------------------------------- plans


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


# -------------------------------------------------------------- building


def _id(plan: Any) -> Any:
    return IDS[plan[1]] if plan[0] == "id" else ODD_IDS[plan[1]]


def _tasks(plan: Any) -> Any:
    kind, indices = plan
    ids = [IDS[i] for i in indices]
    return {
        "list": lambda: ids,
        "tuple": lambda: tuple(ids),
        "set": lambda: set(ids),
        "frozenset": lambda: frozenset(ids),
        "str": lambda: "".join(ids),
        "none": lambda: None,
        "raises": lambda: ContainsRaises(ids),
        "missing": lambda: rs._MISSING,
    }[kind]()


@dataclass
class Built:
    module: Any
    task_cls: Any
    metric_cls: Any
    sub_cls: Any
    constants: Any


def _enumeration(name: str, shape: str, parts: list[tuple[dict[str, Any], dict[str, Any]]]) -> Any:
    """parts: (plain attributes, class attributes such as properties) per member."""
    cls = Catalogue(name, (Member,), {"_members": (), "fail_iteration": shape == "fails"})
    members = []
    for index, (attrs, class_attrs) in enumerate(parts):
        member_cls = Catalogue(f"{name}_{index}", (cls,), dict(class_attrs)) if class_attrs else cls
        member = object.__new__(member_cls)
        object.__getattribute__(member, "__dict__").update(tag=f"{name}[{index}]", **attrs)
        members.append(member)
    cls._members = tuple(members)
    return list(members) if shape == "list" else cls


def _member_parts(plan: dict[str, Any], subs: list[Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    attrs: dict[str, Any] = {"value": _id(plan["value"])}
    class_attrs: dict[str, Any] = {}
    tasks = _tasks(plan["tasks"])
    if tasks is not rs._MISSING:
        attrs["supported_tasks"] = tasks
    attrs["is_reference_free"] = REF_VALUES[plan["ref"]]
    group = plan["group"]
    if group[0] == "id":
        attrs["metrics_group"] = IDS[group[1]]
    elif group[0] == "none":
        attrs["metrics_group"] = None
    elif group[0] == "unhashable":
        attrs["metrics_group"] = ["g"]
    elif group[0] == "raises":
        class_attrs["metrics_group"] = _raising_property(Boom("metrics_group"))
    elif group[0] == "raises_attribute":
        class_attrs["metrics_group"] = _raising_property(AttributeError("metrics_group"))
    sub_plan = plan["subs"]
    if sub_plan[0] == "none":
        attrs["sub_metrics"] = None
    elif sub_plan[0] == "int":
        attrs["sub_metrics"] = 3
    elif sub_plan[0] == "objects":
        attrs["sub_metrics"] = [types.SimpleNamespace(tag="plain object")]
    elif sub_plan[0] == "raises":
        class_attrs["sub_metrics"] = _raising_property(Boom("sub_metrics"))
    elif sub_plan[0] == "members":
        attrs["sub_metrics"] = [subs[i % len(subs)] for i in sub_plan[1]] if subs else []
    return attrs, class_attrs


def build(plan: dict[str, Any]) -> Built:
    task_shape, metric_shape, sub_shape = plan["shapes"]
    task_cls = _enumeration("LLMTaskType", task_shape, [({"value": _id(p)}, {}) for p in plan["tasks"]])
    sub_parts = [_member_parts(p, []) for p in plan["subs"]]
    sub_cls = _enumeration("LLMSubMetrics", sub_shape, sub_parts)
    sub_members = list(sub_cls) if sub_shape != "fails" else list(sub_cls._members)
    metric_cls = _enumeration("LLMMetricType", metric_shape, [_member_parts(p, sub_members) for p in plan["metrics"]])
    TRACE.clear()
    module: Any = None
    if plan["entities"] == "normal":
        module = rs.fake_module(rs.ENTITIES, LLMTaskType=task_cls, LLMMetricType=metric_cls, LLMSubMetrics=sub_cls)
    elif plan["entities"] == "incomplete":
        module = rs.fake_module(rs.ENTITIES, LLMTaskType=task_cls, LLMMetricType=metric_cls)
    constants: Any = None
    blocks = {name: [f"{name}-1", f"{name}-2"] for name in
              ("LLMSummarizationMetrics", "LLMGenerationMetrics", "LLMExtractionMetrics", "LLMQAMetrics")}
    if plan["constants"] == "incomplete":
        del blocks["LLMExtractionMetrics"]
    elif plan["constants"] == "not_iterable":
        blocks["LLMGenerationMetrics"] = 7  # type: ignore[assignment]
    elif plan["constants"] == "odd_members":
        blocks["LLMQAMetrics"] = ["", BadFormat("q"), FormatRaises("r")]  # type: ignore[list-item]
    if plan["constants"] != "absent":
        constants = rs.fake_module(rs.CONSTANTS, **blocks)
    return Built(module, task_cls, metric_cls, sub_cls, constants)


def _members(cls: Any) -> Any:
    return cls if isinstance(cls, list) else cls._members


def build_argument(plan: Any, built: Built, role: str) -> Any:
    """role: "task_type" or another argument name."""
    kind = plan[0]
    if kind == "none":
        return None
    if kind == "present":
        # An id the catalogue has (when it has any), so that views are reached.
        owners = [built.task_cls] if role == "task_type" else [built.metric_cls, built.sub_cls]
        values = [object.__getattribute__(m, "__dict__")["value"] for cls in owners for m in _members(cls)]
        return values[plan[1] % len(values)] if values else None
    if kind == "id":
        return IDS[plan[1]]
    if kind == "odd":
        return ARG_ODDS[plan[1]]
    members = _members({"task": built.task_cls, "metric": built.metric_cls, "sub": built.sub_cls}[kind])
    return members[plan[1] % len(members)] if members else None


# ------------------------------------------------------------------ tables


class RecordingTable(fakes.RecordingTable):
    """The recording table, with the failures a plan may ask for."""

    calls: list[TableCall] = []
    mode = "recording"

    def __init__(self, headers: Any, record: Any) -> None:
        if RecordingTable.mode == "init_raises":
            raise Boom("Table()")
        super().__init__(headers, record)

    def list(self, *, title: Any) -> None:
        if RecordingTable.mode == "list_raises_for_task_types" and title == ALL_TASK_TYPES_TITLE:
            RecordingTable.calls.append(TableCall(self.headers, self.record, title))
            raise Boom("list")
        super().list(title=title)


def same(a: Any, b: Any) -> bool:
    """Equal structure: lists element by element, other objects by identity
    (equal primitive values may be distinct objects)."""
    if type(a) is list and type(b) is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is TableCall and type(b) is TableCall:
        return same(a.headers, b.headers) and same(a.record, b.record) and same(a.title, b.title)
    if a is b:
        return True
    return type(a) is type(b) and type(a) in (str, int, float, bool) and a == b


def run(impl: str, built: Built, plan: dict[str, Any], args: tuple[Any, ...], by_keyword: bool
        ) -> tuple[rs.Outcome, list[TableCall], list[Any]]:
    obj = rs.IMPLEMENTATIONS[impl].LLMMetrics(rs.make_client())
    table: Any = {"not_callable": 5}.get(plan["table"], RecordingTable)
    module_globals = {"Table": table}
    RecordingTable.calls = []
    RecordingTable.mode = plan["table"]
    with rs.patched({rs.ENTITIES: built.module, rs.CONSTANTS: built.constants}, module_globals):
        if plan["table"] == "absent":
            for module in rs.IMPLEMENTATIONS.values():
                del module.Table
        TRACE.clear()
        if by_keyword:
            names = ("task_type", "metric_id", "metric_group")
            given_args = {name: value for name, value in zip(names, args) if value is not None}
            outcome = rs.observe(lambda: obj.show_supported_metrics(**given_args))
        else:
            outcome = rs.observe(lambda: obj.show_supported_metrics(*args))
        trace = list(TRACE)
    return outcome, list(RecordingTable.calls), trace


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


# ------------------------------------------------------- the stand-in plugin

_REAL_IDS: dict[str, list[Any]] = {}


def _real_ids() -> dict[str, list[Any]]:
    if not _REAL_IDS:
        entities = sys.modules[rs.ENTITIES]
        _REAL_IDS["task"] = list(entities.LLMTaskType)
        _REAL_IDS["metric"] = list(entities.LLMMetricType)
        _REAL_IDS["sub"] = list(entities.LLMSubMetrics)
    return _REAL_IDS


def real_arguments() -> st.SearchStrategy[Any]:
    return weighted(st.just(("none",)), st.one_of(
        st.tuples(st.sampled_from(["task", "metric", "sub"]), st.integers(0, 40)),
        st.tuples(st.sampled_from(["task_value", "metric_value", "sub_value"]), st.integers(0, 40)),
        st.tuples(st.just("odd"), st.integers(0, len(ARG_ODDS) - 1)),
    ), 40)


def build_real_argument(plan: Any) -> Any:
    kind = plan[0]
    if kind == "none":
        return None
    if kind == "odd":
        return ARG_ODDS[plan[1]]
    members = _real_ids()[kind.partition("_")[0]]
    member = members[plan[1] % len(members)]
    return member.value if kind.endswith("_value") else member


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
