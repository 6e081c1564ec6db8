"""Catalogues, members and arguments built from plans, and a run of show_supported_metrics on them
in either implementation: what the generated browser tests (tests/robustness/test_browser_generated.py) and
the browser fuzz target (tests/fuzz/fuzz_browser.py) share."""

from __future__ import annotations

import sys
import types
from dataclasses import dataclass
from typing import Any

import fakes
import robust_support as rs
from fakes import ALL_TASK_TYPES_TITLE, BadFormat, BadTruth, ContainsRaises, TableCall
from robust_support import Boom


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


# Equal structure, cells compared by identity.
same = fakes.same_objects


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


_REAL_IDS: dict[str, list[Any]] = {}


def _real_ids() -> dict[str, list[Any]]:
    if not _REAL_IDS:
        entities = sys.modules[rs.ENTITIES]
        _REAL_IDS["task"] = list(entities.LLMTaskType)
        _REAL_IDS["metric"] = list(entities.LLMMetricType)
        _REAL_IDS["sub"] = list(entities.LLMSubMetrics)
    return _REAL_IDS


def build_real_argument(plan: Any) -> Any:
    kind = plan[0]
    if kind == "none":
        return None
    if kind == "odd":
        return ARG_ODDS[plan[1]]
    members = _real_ids()[kind.partition("_")[0]]
    member = members[plan[1] % len(members)]
    return member.value if kind.endswith("_value") else member

