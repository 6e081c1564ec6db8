"""show_supported_metrics and the legacy listing on catalogues decoded from
the input, in the plan language of the generated browser tests (their
`build` makes the enumerations): ids shared, unhashable or incomparable,
`supported_tasks` of every kind, missing, None or raising attributes, odd
truth values, enumerations that fail while iterated, an entities module
missing or incomplete (then the constants module, complete or not) and
tables that fail; arguments of every kind, by position or keyword.  Both
implementations must print the same, make the same Table calls with the
same objects and read the same attributes in the same order.  Some inputs
instead give members that change the containers holding them while they are
read (no yardstick there: the call must end normally or with an ordinary
exception, and the module must work afterwards), or query the stand-in
plugin's own catalogue."""

from __future__ import annotations

import types
from typing import Any

import fuzz_driver as fd
from fuzz_driver import rs

import browser_plans as tb



def _name(value: Any) -> str:
    """The name an input gives an entry of the plans' tables: its repr, the
    type's name around it for other types, or the type's name alone for an
    object whose repr shows its address."""
    text = " ".join(repr(value).split())
    if " at 0x" in text:
        return f"<{type(value).__name__}>"
    return text if type(value) in (str, int, float, bytes, list, tuple, bool, type(None)) else (
        f"{type(value).__name__}({text})")


ODD_ID_NAMES = [_name(value) for value in tb.ODD_IDS]
REF_NAMES = [_name(value) for value in tb.REF_VALUES]
ARG_ODD_NAMES = [_name(value) for value in tb.ARG_ODDS]
assert all(len(set(names)) == len(names) for names in (ODD_ID_NAMES, REF_NAMES, ARG_ODD_NAMES))


def position(p: Any, names: list[str], what: str) -> int:
    """The position in its table of the entry the input names."""
    return names.index(fd.named(p, names, what))


def an_id(p: Any) -> int:
    return position(p, tb.IDS, "an id")


def _meddle(member: Any, action: str) -> None:
    """The generated tests' meddling, plus "swap": every dict holding the
    member trades one key for another (same size, different keys)."""
    if action != "swap":
        return _original_meddle(member, action)
    import gc

    for holder in gc.get_referrers(member):
        if type(holder) is dict and holder.get("tag") is None and holder:
            value = holder.pop(next(iter(holder)))
            holder[("swapped", id(holder))] = value


_original_meddle, tb._meddle = tb._meddle, _meddle


class ReadLogged(types.ModuleType):
    """An entities module whose attribute reads are part of the trace."""

    def __getattribute__(self, name: str) -> Any:
        tb.TRACE.append(("module", name))
        return super().__getattribute__(name)


def logged_module(module: Any, fallback: str) -> Any:
    """`module` as a ReadLogged one, with a module-level __getattr__ that
    raises AttributeError or another exception, or answers with a class."""
    logged = ReadLogged(module.__name__)
    vars(logged).update({k: v for k, v in vars(module).items() if k.startswith("LLM")})

    def __getattr__(name: str) -> Any:
        tb.TRACE.append(("module __getattr__", name))
        if fallback == "answers":
            return module.LLMTaskType
        raise (AttributeError if fallback == "attribute error" else rs.Boom)(name)

    if fallback != "none":
        logged.__getattr__ = __getattr__
    return logged


def pick(p: Any, percent: int, common: Any, rare: Any) -> Any:
    """`common()` in about `percent` per cent of the draws, else `rare()`."""
    return common() if fd.usual(p, percent) else rare()


def id_plan(p: Any, percent: int = 97) -> Any:
    return pick(p, percent, lambda: ("id", an_id(p)), lambda: ("odd", position(p, ODD_ID_NAMES, "an odd id")))


def member_plan(p: Any, is_sub: bool) -> dict[str, Any]:
    indices = lambda: fd.some(p, 3, lambda: an_id(p))  # noqa: E731
    return {
        "value": id_plan(p),
        "tasks": pick(p, 85, lambda: ("list", indices()),
                      lambda: (fd.named(p, tb.TASK_CONTAINERS, "a task container"), indices())),
        "ref": pick(p, 90, lambda: position(p, REF_NAMES[:6], "a reference-free value"),
                    lambda: position(p, REF_NAMES, "a reference-free value")),
        "group": pick(p, 88, lambda: ("id", an_id(p)) if is_sub else ("missing",),
                      lambda: p.PickValueInList([("missing",), ("none",), ("unhashable",), ("raises",),
                                                 ("raises_attribute",), ("id", 0)])),
        "subs": pick(p, 85, lambda: p.PickValueInList([("missing",), ("none",)]) if is_sub else
                     ("members", fd.some(p, 3, lambda: p.ConsumeIntInRange(0, 5))),
                     lambda: p.PickValueInList([("missing",), ("none",), ("int",), ("objects",), ("raises",),
                                                ("members", (0,)), ("members", (0, 1))])),
    }


def catalogue_plan(p: Any) -> dict[str, Any]:
    return {
        "tasks": fd.some(p, 4, lambda: id_plan(p, 95)),
        "metrics": fd.some(p, 5, lambda: member_plan(p, False)),
        "subs": fd.some(p, 5, lambda: member_plan(p, True)),
        "shapes": tuple(pick(p, 97, lambda: "class", lambda: p.PickValueInList(["fails", "list"])) for _ in "tms"),
        "entities": pick(p, 90, lambda: "normal", lambda: p.PickValueInList(["absent", "incomplete"])),
        "constants": p.PickValueInList(["normal", "incomplete", "absent", "not_iterable", "odd_members"]),
        "table": pick(p, 92, lambda: "recording", lambda: p.PickValueInList(
            ["init_raises", "list_raises_for_task_types", "not_callable", "absent"])),
    }


def argument_plan(p: Any) -> Any:
    return pick(p, 45, lambda: ("none",), lambda: pick(
        p, 60, lambda: ("present", p.ConsumeIntInRange(0, 9)), lambda: p.PickValueInList([
            ("id", an_id(p)), (p.PickValueInList(["task", "metric", "sub"]), p.ConsumeIntInRange(0, 4)),
            ("odd", position(p, ARG_ODD_NAMES, "an odd argument"))])))


def one_input(data: bytes) -> None:
    p = fd.provider(data)
    mode = p.PickValueInList(["compare"] * 8 + ["hostile", "stand-in plugin"])
    if mode == "stand-in plugin":
        args = tuple(tb.build_real_argument(pick(p, 40, lambda: ("none",), lambda: p.PickValueInList([
            (p.PickValueInList(["task", "metric", "sub", "task_value", "metric_value", "sub_value"]),
             p.ConsumeIntInRange(0, 40)), ("odd", position(p, ARG_ODD_NAMES, "an odd argument"))]))) for _ in "tmg")
        native, oracle = (rs.observe(lambda: rs.IMPLEMENTATIONS[impl].LLMMetrics(rs.make_client())
                                     .show_supported_metrics(*args)) for impl in ("native", "baseline"))
        fd.compare("browser", native, oracle, data)
        return
    plan = catalogue_plan(p)
    arguments = [argument_plan(p) for _ in tb.ROLES]
    by_keyword = p.ConsumeBool()
    built = tb.build(plan)
    if built.module is not None and not fd.usual(p, 85):
        built.module = logged_module(built.module, p.PickValueInList(["none", "attribute error", "raises", "answers"]))
    if mode == "hostile":
        for _ in range(p.ConsumeIntInRange(1, 3)):
            kind = p.PickValueInList(["metric", "sub", "task"])
            members = tb._members({"task": built.task_cls, "metric": built.metric_cls, "sub": built.sub_cls}[kind])
            change = [p.PickValueInList(["value", "supported_tasks", "is_reference_free", "metrics_group",
                                         "sub_metrics"]),
                      p.PickValueInList(["clear", "append", "replace", "swap"]), p.ConsumeIntInRange(1, 3)]
            if members:
                member = members[p.ConsumeIntInRange(0, len(members) - 1)]
                object.__getattribute__(member, "__dict__")["hostile"] = change
    args = tuple(tb.build_argument(a, built, role) for a, role in zip(arguments, tb.ROLES))
    if not fd.usual(p, 90):  # a member without one of its attributes
        kind = p.PickValueInList(["metric", "sub"])
        members = tb._members({"metric": built.metric_cls, "sub": built.sub_cls}[kind])
        if members:
            attributes = object.__getattribute__(members[p.ConsumeIntInRange(0, len(members) - 1)], "__dict__")
            attributes.pop(p.PickValueInList(["is_reference_free", "value", "supported_tasks"]), None)
    native, native_tables, native_trace = tb.run("native", built, plan, args, by_keyword)
    if mode == "hostile":
        tb.TRACE.clear()
        after = rs.observe(lambda: rs.native.LLMMetrics(rs.make_client()).show_supported_metrics(metric_id="bleu"))
        fd.expect("browser", not native.raised and native.returned == ("NoneType", None) or native.raised and (
            native.exc_type is not SystemError and issubclass(native.exc_type, (Exception, rs.Halt))), data,
                  "hostile members", native)
        fd.expect("browser", "bleu metric supports the following task type(s):" in after.stdout, data,
                  "after hostile members", after)
        return
    oracle, oracle_tables, oracle_trace = tb.run("baseline", built, plan, args, by_keyword)
    native.log, oracle.log = native_trace, oracle_trace
    fd.compare("browser", native, oracle, data, (tb.same(native_tables, oracle_tables), True))


if __name__ == "__main__":
    fd.main(one_input, lambda: [*tb.IDS, *tb.TASK_CONTAINERS, *ODD_ID_NAMES, *REF_NAMES, *ARG_ODD_NAMES])
