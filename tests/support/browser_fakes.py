"""Stand-ins for the browser tests: catalogue modules built from small
enumerations or plain objects, and a recording ``Table``.

The recording table prints one marker line per table (``[table] <title>``),
so that captured standard output shows tables and printed lines in order,
and keeps every call with the very objects it was given.
"""

from __future__ import annotations

import enum
import sys
import types
from dataclasses import dataclass
from typing import Any

# The kit, the plugin and the extension are imported once, when the tests are
# collected, so that every test (and every repeated run of one) sees the same
# classes as the extension's module globals.
import zel_cloud_sdk_core.authenticators  # noqa: F401
import zel_metrics_plugin.metrics.llm.config.entities  # noqa: F401
import zel_metrics_plugin.metrics.llm.utils.constants  # noqa: F401
import zel_tarn_quillgate  # noqa: F401
import zel_tarn_quillgate.supporting_classes.metrics.llm_metrics  # noqa: F401

ENTITIES = "zel_metrics_plugin.metrics.llm.config.entities"
CONSTANTS = "zel_metrics_plugin.metrics.llm.utils.constants"

HEADERS = ["Metric ID", "Metric Group", "Supported Task Type(s)", "Is Reference Free"]
DETAIL_HEADERS = ["Metric ID", "Metric Group", "Supported Task_Type(s)", "Is Reference Free"]
ALL_METRICS_TITLE = "The following are the supported metrics:"
ALL_TASK_TYPES_TITLE = "The following are supported task types."
ALL_GROUPS_TITLE = "The following supported metric groups have their sub-metrics:"
FOOTER_HEADING = "\n\n\x1b[1;31mMetrics-plugin configuration structure\x1b[0m"


def _blanks(n: int) -> str:
    return " " * n


# The configuration-structure block, line by line.
CONFIGURATION_STRUCTURE = "\n".join(
    [
        "",
        _blanks(16) + "\x1b[1;34mIf metric_group is not None use below configuration" + _blanks(5)
        + "If metric_group is None use below configuration\x1b[0m",
        "",
        _blanks(20) + '"configuration": {' + _blanks(43) + '"configuration": {',
        _blanks(24) + '"task_type": {' + _blanks(48) + '"task_type": {',
        _blanks(28) + '"metric_group": {' + _blanks(20) + "\x1b[1;34mor\x1b[0m" + _blanks(24) + '"metric_id": {}',
        _blanks(32) + '"metric_id": {}' + _blanks(48) + "}",
        _blanks(28) + "}" + _blanks(63) + "}",
        _blanks(24) + "}" + _blanks(55),
        _blanks(20) + "}" + _blanks(55),
        _blanks(16),
    ]
)
FOOTER = FOOTER_HEADING + "\n" + CONFIGURATION_STRUCTURE + "\n"


def red(message: str) -> str:
    return f"\x1b[31m {message} \x1b[0m\n"


def table_line(title: Any) -> str:
    return f"[table] {title}\n"


@dataclass
class TableCall:
    headers: Any
    record: Any
    title: Any


class RecordingTable:
    """``Table(headers, record).list(title=...)``, remembered and marked on stdout."""

    calls: list[TableCall] = []

    def __init__(self, headers: Any, record: Any, /) -> None:
        self.headers = headers
        self.record = record

    def list(self, *, title: Any) -> None:
        RecordingTable.calls.append(TableCall(self.headers, self.record, title))
        print(table_line(title), end="")


# --------------------------------------------------------------- catalogues

# Task types, metrics and sub-metrics of a small catalogue.  The metrics are
# deliberately not in id order; "sub_metrics" names sub-metric ids.
TASKS = ["summarization", "generation", "qa"]
METRICS = [
    dict(value="rouge_score", supported_tasks=["summarization", "generation"], is_reference_free=False,
         sub_metrics=["rouge2", "rouge1"]),
    dict(value="bleu", supported_tasks=["generation", "qa"], is_reference_free=False, sub_metrics=None),
    dict(value="faithfulness", supported_tasks=["qa"], is_reference_free=True),
    dict(value="readability", supported_tasks=["summarization"], is_reference_free=1, sub_metrics=["flesch"]),
]
SUBS = [
    dict(value="rouge2", supported_tasks=["summarization", "generation"], is_reference_free=False,
         metrics_group="rouge_score"),
    dict(value="rouge1", supported_tasks=["summarization", "generation"], is_reference_free="",
         metrics_group="rouge_score"),
    dict(value="flesch", supported_tasks=["summarization"], is_reference_free=True, metrics_group="readability"),
    dict(value="aux", supported_tasks=["generation"], is_reference_free=None, metrics_group=None),
]


class PlainCatalogue(type):
    """A class whose iteration yields its members, like an enumeration."""

    def __iter__(cls):
        return iter(cls._members)


def plain_class(name: str, specs: list[dict]) -> Any:
    cls = PlainCatalogue(name, (), {"_members": ()})
    members = []
    for spec in specs:
        member = object.__new__(cls)
        member.__dict__.update(spec)
        members.append(member)
    cls._members = tuple(members)
    return cls


def _enum_class(name: str, specs: list[dict]) -> Any:
    cls = enum.Enum(name, [(str(spec["value"]).upper(), spec["value"]) for spec in specs])
    for member, spec in zip(cls, specs):
        for key, value in spec.items():
            if key != "value":
                setattr(member, key, value)
    return cls


@dataclass
class Catalogue:
    tasks: Any
    metrics: Any
    subs: Any
    module: types.ModuleType

    def member(self, value: str) -> Any:
        """The member with this id; the sub-metric when both enumerations have it."""
        found = [m for m in [*self.metrics, *self.subs] if m.value == value]
        return found[-1]


def make_catalogue(kind: str = "enum", tasks: list | None = None, metrics: list | None = None,
                   subs: list | None = None) -> Catalogue:
    """The three enumerations as Enum classes (kind "enum") or plain classes (kind "plain")."""
    make = _enum_class if kind == "enum" else plain_class
    task_specs = [dict(value=t) for t in (TASKS if tasks is None else tasks)]
    metric_specs = [dict(s) for s in (METRICS if metrics is None else metrics)]
    sub_specs = [dict(s) for s in (SUBS if subs is None else subs)]
    task_cls = make("LLMTaskType", task_specs)
    sub_cls = make("LLMSubMetrics", sub_specs)
    by_id = {m.value: m for m in sub_cls}
    for spec in metric_specs:
        if isinstance(spec.get("sub_metrics"), list):
            spec["sub_metrics"] = [by_id[i] for i in spec["sub_metrics"]]
    metric_cls = make("LLMMetricType", metric_specs)
    module = types.ModuleType(ENTITIES)
    module.LLMTaskType, module.LLMMetricType, module.LLMSubMetrics = task_cls, metric_cls, sub_cls
    return Catalogue(task_cls, metric_cls, sub_cls, module)


def install(monkeypatch: Any, llm_metrics: Any, catalogue: Catalogue | None) -> None:
    """Puts the catalogue module (or None: not importable) and the recording table in place."""
    monkeypatch.setitem(sys.modules, ENTITIES, None if catalogue is None else catalogue.module)
    monkeypatch.setattr(llm_metrics, "Table", RecordingTable)
    RecordingTable.calls = []


def constants_module(**blocks: Any) -> types.ModuleType:
    module = types.ModuleType(CONSTANTS)
    for name, members in blocks.items():
        setattr(module, name, members)
    return module
