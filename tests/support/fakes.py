"""Stand-ins of the host kit and the metrics plugin, for the tests and the benchmarks.

* Catalogues: the plugin's three enumerations (task types, metrics,
  sub-metrics), built the way a plugin builds them: ``enum.Enum`` members
  whose attributes are set in ``__new__``, or ordinary objects whose
  attributes are set in ``__init__``, held by classes whose iteration yields
  them.  `make_catalogue` builds small hand-written ones for the tests,
  `build_catalogue` synthetic ones of any size for the benchmarks.
* Tables: `RecordingTable` keeps every call with the very objects it was given
  and prints one marker line per table (``[table] <title>``), so that captured
  standard output shows tables and printed lines in order; `NullTable` does
  nothing.
* The texts the browser prints (titles, headers, the configuration footer),
  and `shown_as_by_the_oracle`, which runs a call in the compiled module and
  in the plain-Python oracle and holds the first to what the second shows:
  the browser's expected output comes from there, not from texts written
  in the tests.
* Cheap stand-ins that do no printing and no metric arithmetic, so that what
  the benchmarks time is the work of LLMMetrics itself, and `StandIns`, which
  installs them into the compiled module and the plain-Python oracle alike.
* A client of the host kit and configurations of realistic, wide and deep
  shape.
"""

from __future__ import annotations

import enum
import io
import random
import sys
import types
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Callable

MANAGER = "zel_metrics_plugin.metrics.llm.core.llm_metrics_manager"
ENTITIES = "zel_metrics_plugin.metrics.llm.config.entities"
CONSTANTS = "zel_metrics_plugin.metrics.llm.utils.constants"
ROBUSTNESS = "zel_metrics_plugin.metrics.llm.common.impl.robustness_metric"


def fake_module(name: str, **attrs: Any) -> types.ModuleType:
    module = types.ModuleType(name)
    for attr, value in attrs.items():
        setattr(module, attr, value)
    return module


# The keywords the manager is given besides the caller's, in the order they
# are written, and the attributes of the host client they are read from.
MANAGER_KEYS = ["is_vesk", "origin", "is_bearer_token", "authenticator", "service_url", "host", "service_instance_id"]
CLIENT_ATTRIBUTES = tuple(key for key in MANAGER_KEYS if key not in ("origin", "is_bearer_token"))


def make_client() -> Any:
    from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator
    from zel_tarn_quillgate import TarnQuillgateV2Adapter

    return TarnQuillgateV2Adapter(
        BearerTokenAuthenticator("token-123"),
        "https://monitoring.example",
        host="monitoring.example",
        service_instance_id="instance-1",
    )


# ---------------------------------------------------------- browser texts

ALL_METRICS_TITLE = "The following are the supported metrics:"
ALL_TASK_TYPES_TITLE = "The following are supported task types."
# The legacy listing's headings, one per enumeration of the older constants module.
LEGACY_HEADINGS = [
    "Following Text Summrization metrics are supported",
    "Following Text Generation metrics are supported",
    "Following Text Extraction metrics are supported",
    "Following Question and Answer metrics are supported",
]
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
class Shown:
    """What one show_supported_metrics call printed and the Table calls it made."""

    out: str
    calls: list


def shown_by(module: Any, client: Any, *args: Any, **kwargs: Any) -> Shown:
    """show_supported_metrics(*args, **kwargs) of `module`'s class (the compiled
    module or the oracle, its Table the recording one: see `install`)."""
    RecordingTable.calls = []
    with captured_stdout() as out:
        assert module.LLMMetrics(client).show_supported_metrics(*args, **kwargs) is None
    return Shown(out.getvalue(), list(RecordingTable.calls))


def same_objects(a: Any, b: Any) -> bool:
    """Equal structure: lists element by element, other objects by identity
    (equal primitive values may be distinct objects)."""
    if type(a) is list and type(b) is list:
        return len(a) == len(b) and all(same_objects(x, y) for x, y in zip(a, b))
    if type(a) is TableCall and type(b) is TableCall:
        return same_objects([a.headers, a.record, a.title], [b.headers, b.record, b.title])
    if a is b:
        return True
    return type(a) is type(b) and type(a) in (str, int, float, bool) and a == b


def shown_as_by_the_oracle(native: Any, oracle: Any, client: Any, *args: Any, **kwargs: Any) -> Shown:
    """Runs the call in the compiled module and in the oracle, on the same
    catalogue: the same text and the same Table calls with the same objects.
    Returns what the compiled module showed."""
    expected = shown_by(oracle, client, *args, **kwargs)
    got = shown_by(native, client, *args, **kwargs)
    assert got.out == expected.out
    assert same_objects(got.calls, expected.calls), (got.calls, expected.calls)
    return got


# ---------------------------------------------------------- hostile values


class Boom(Exception):
    """What the hostile stand-ins raise."""


class BadTruth:
    def __bool__(self) -> bool:
        raise Boom("truth")


class ContainsRaises(list):
    def __contains__(self, item: object) -> bool:
        raise Boom("contains")


class BadFormat(str):
    """A valid-looking id whose formatting gives no string."""

    def __format__(self, format_spec: str) -> Any:
        return 5


# ------------------------------------------------------------------ tables


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
        type(self).calls.append(TableCall(self.headers, self.record, title))
        print(table_line(title), end="")


class NullTable:
    """``Table(headers, record).list(title=...)`` that prints nothing."""

    __slots__ = ()

    def __init__(self, headers: Any, record: Any) -> None:
        pass

    def list(self, title: Any = None) -> None:
        return None


# -------------------------------------------------------------- catalogues


class PlainCatalogue(type):
    """Metaclass of the plain catalogues: iterating the class yields its members, as with an enumeration."""

    def __iter__(cls) -> Iterator[Any]:
        return iter(cls._members)

    def __len__(cls) -> int:
        return len(cls._members)


class PlainMember:
    """A catalogue member written as an ordinary class: its attributes are set in ``__init__``."""

    def __init__(self, **attributes: Any) -> None:
        for name, value in attributes.items():
            setattr(self, name, value)


def plain_class(name: str, specs: list[dict], metaclass: type = PlainCatalogue, base: type = PlainMember) -> Any:
    """A plain catalogue class whose members are ``cls(**spec)`` for each spec."""
    cls = metaclass(name, (base,), {"_members": ()})
    cls._members = tuple(cls(**spec) for spec in specs)
    return cls


class EnumMember(enum.Enum):
    """Base of the enum catalogues: as in a plugin, ``__new__`` sets a member's attributes."""

    def __new__(cls, spec: dict) -> Any:
        member = object.__new__(cls)
        member._value_ = spec["value"]
        for name, value in spec.items():
            if name != "value":
                setattr(member, name, value)
        return member


def enum_class(name: str, specs: list[dict]) -> Any:
    """An enumeration with one member per spec (its "value" the member's value)."""
    return EnumMember(name, [(str(spec["value"]).upper(), (spec,)) for spec in specs])


@dataclass
class Catalogue:
    """The three enumerations of a catalogue and the fake entities module holding them.

    Synthetic catalogues (`build_catalogue`) also carry their kind, size and
    valid ids to query them with.
    """

    tasks: Any
    metrics: Any
    subs: Any
    module: types.ModuleType
    kind: str = ""
    size: int = 0
    task_type: Any = None
    metric_id: Any = None
    group_id: Any = None

    def member(self, value: str) -> Any:
        """The member with this id; the sub-metric when both enumerations have it."""
        found = [m for m in [*self.metrics, *self.subs] if m.value == value]
        return found[-1]


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

def metric(value: Any, tasks: Any = ("t",), ref: Any = False, **extra: Any) -> dict:
    """The attributes of one catalogue member, as a dict (see `make_catalogue`)."""
    return dict(value=value, supported_tasks=list(tasks), is_reference_free=ref, **extra)


CatalogueKind = str | Callable[[str, list[dict]], Any]


def make_catalogue(kind: CatalogueKind = "enum", tasks: list | None = None, metrics: list | None = None,
                   subs: list | None = None) -> Catalogue:
    """The three enumerations as Enum classes (kind "enum"), plain classes (kind
    "plain") or classes made by `kind(name, specs)`.

    A list in a metric's "sub_metrics" names sub-metric ids; the metric gets
    the sub-metric members.
    """
    make = {"enum": enum_class, "plain": plain_class}[kind] if isinstance(kind, str) else kind
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
    module = fake_module(ENTITIES, LLMTaskType=task_cls, LLMMetricType=metric_cls, LLMSubMetrics=sub_cls)
    return Catalogue(task_cls, metric_cls, sub_cls, module, kind=kind if isinstance(kind, str) else "")


def install(monkeypatch: Any, llm_metrics: Any, catalogue: Catalogue | None, *more: Any) -> None:
    """Puts the catalogue module (or None: not importable) and the recording
    table in place, the table in `llm_metrics` and in every module of `more`."""
    monkeypatch.setitem(sys.modules, ENTITIES, None if catalogue is None else catalogue.module)
    for module in (llm_metrics, *more):
        monkeypatch.setattr(module, "Table", RecordingTable)
    RecordingTable.calls = []


def constants_module(**blocks: Any) -> types.ModuleType:
    """The plugin's older constants module, with the given metric blocks."""
    return fake_module(CONSTANTS, **blocks)


# ------------------------------------------------------ synthetic catalogues

TASK_TYPES = (
    "summarization",
    "generation",
    "question_answering",
    "extraction",
    "retrieval_augmented_generation",
)

_CONSONANTS = "bcdfghklmnprstvz"
_VOWELS = "aeiou"
_VARIANTS = ("f1", "index", "mean", "precision", "rate", "recall", "score", "variance")


def _words(rng: random.Random, count: int, taken: set) -> list:
    """`count` new pseudo-words (like "ranoli"), in the order they were made up."""
    words = []
    while len(words) < count:
        word = "".join(rng.choice(_CONSONANTS) + rng.choice(_VOWELS) for _ in range(rng.randint(2, 4)))
        if word not in taken:
            taken.add(word)
            words.append(word)
    return words


def _catalogue_layout(size: int) -> tuple[list[dict], list[dict], list]:
    """(metric specs, sub-metric specs, group ids) for `size` metrics in total.

    Laid out the way a plugin lists its metrics: by family (families in no
    particular order, the members of a family together and in id order, as in
    bleu / rouge_score / rouge1 ...), not alphabetically overall.  About one
    metric in 25 is a group of four sub-metrics, which follow each other in
    the sub-metric enumeration with ids that sort right after the group's;
    one metric in ten is a sub-metric outside any group.
    """
    rng = random.Random(20240917 + size)
    n_groups = max(2, size // 25)
    n_loose = size // 10
    n_metrics = size - 4 * n_groups - n_loose
    taken: set = set()

    def tasks() -> list:
        k = rng.randint(1, len(TASK_TYPES))
        return sorted(rng.sample(TASK_TYPES, k), key=TASK_TYPES.index)

    metric_ids: list = []
    while len(metric_ids) < n_metrics:
        family = _words(rng, 1, taken)[0]
        k = min(rng.randint(1, len(_VARIANTS)), n_metrics - len(metric_ids))
        metric_ids.extend(f"{family}_{v}" for v in sorted(rng.sample(_VARIANTS, k)))
    metrics = [dict(value=mid, supported_tasks=tasks(), is_reference_free=rng.random() < 0.4, sub_metrics=None)
               for mid in metric_ids]
    step = max(1, n_metrics // n_groups)
    group_ids = [metric_ids[j] for j in range(step // 2, n_metrics, step)][:n_groups]
    by_id = {spec["value"]: spec for spec in metrics}
    subs = []
    for gid in group_ids:
        parts = [f"{gid}_part{part}" for part in range(4)]
        by_id[gid]["sub_metrics"] = parts
        for part in parts:
            subs.append(dict(value=part, supported_tasks=tasks(), is_reference_free=rng.random() < 0.4,
                             metrics_group=gid))
    for word in _words(rng, n_loose, taken):
        subs.append(dict(value=f"{word}_aux", supported_tasks=tasks(), is_reference_free=True, metrics_group=None))
    return metrics, subs, group_ids


def build_catalogue(kind: str, size: int) -> Catalogue:
    """A synthetic catalogue of `size` metrics and sub-metrics together, kind "plain" or "enum"."""
    if kind not in ("plain", "enum"):
        raise ValueError(kind)
    metrics, subs, group_ids = _catalogue_layout(size)
    catalogue = make_catalogue(kind, list(TASK_TYPES), metrics, subs)
    catalogue.size = size
    catalogue.task_type = "generation"
    catalogue.metric_id = metrics[len(metrics) // 2]["value"]
    catalogue.group_id = group_ids[len(group_ids) // 2]
    return catalogue


# ------------------------------------------------------- cheap stand-ins


class NullWriter:
    """A text stream that drops everything."""

    __slots__ = ()

    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        return None


def cheap_validate_type(value: Any, name: Any, expected: Any, required: Any) -> None:
    return None


class CheapEvaluators:
    __slots__ = ("client",)

    def __init__(self, client: Any) -> None:
        self.client = client


class FakeMetricManager:
    __slots__ = ()

    def __init__(self, configuration: Any, **kwargs: Any) -> None:
        pass

    def compute(self, sources: Any, predictions: Any, references: Any, **kwargs: Any) -> dict:
        return {"bleu": 0.25, "rouge1": 0.5}

    def get_metrics_result(self, metrics_result: Any, **kwargs: Any) -> Any:
        return metrics_result


class FakeRobustnessMetrics:
    @staticmethod
    def display_robustness_results(results: Any) -> Any:
        return None


def evaluator_1(sources, predictions, references, **kwargs):
    return {"custom_1": 1.0}


def evaluator_2(sources, predictions, references, **kwargs):
    return {"custom_2": 2.0}


def evaluator_3(sources, predictions, references, **kwargs):
    return {"custom_1": 3.0}


CUSTOM_EVALUATORS = [evaluator_1, evaluator_2, evaluator_3]

_MISSING = object()


class StandIns:
    """Installs the cheap stand-ins into the compiled module and the oracle, and undoes it.

    * fake plugin modules in ``sys.modules`` (manager, enumerations, robustness);
    * module globals patched in both modules: ``Table`` (a table whose ``list``
      does nothing), ``validate_type`` (returns at once) and ``LLMAJEvaluators``
      (a trivial holder).

    Output is silenced at the stream (`silenced_stdout`): the compiled
    module's ``print`` is the builtin taken when it was imported.
    """

    PATCHED_GLOBALS = {
        "Table": NullTable,
        "validate_type": cheap_validate_type,
        "LLMAJEvaluators": CheapEvaluators,
    }

    def __init__(self, *modules: types.ModuleType) -> None:
        self.modules = modules
        self._saved_globals: list[tuple[types.ModuleType, str, Any]] = []
        self._saved_sys_modules: dict[str, Any] = {}

    def install(self) -> None:
        for module in self.modules:
            for name, value in self.PATCHED_GLOBALS.items():
                self._saved_globals.append((module, name, vars(module).get(name, _MISSING)))
                setattr(module, name, value)
        fake_modules = {
            MANAGER: fake_module(MANAGER, LLMMetricManager=FakeMetricManager),
            ROBUSTNESS: fake_module(ROBUSTNESS, RobustnessMetrics=FakeRobustnessMetrics),
            ENTITIES: fake_module(ENTITIES),
        }
        for name, module in fake_modules.items():
            self._saved_sys_modules[name] = sys.modules.get(name, _MISSING)
            sys.modules[name] = module

    def use_catalogue(self, catalogue: Catalogue) -> None:
        sys.modules[ENTITIES] = catalogue.module

    def set_global(self, name: str, value: Any) -> None:
        for module in self.modules:
            setattr(module, name, value)

    def uninstall(self) -> None:
        for module, name, value in reversed(self._saved_globals):
            if value is _MISSING:
                delattr(module, name)
            else:
                setattr(module, name, value)
        for name, value in self._saved_sys_modules.items():
            if value is _MISSING:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = value
        self._saved_globals.clear()
        self._saved_sys_modules.clear()


@contextmanager
def silenced_stdout() -> Iterator[None]:
    saved = sys.stdout
    sys.stdout = NullWriter()
    try:
        yield
    finally:
        sys.stdout = saved


@contextmanager
def captured_stdout() -> Iterator[io.StringIO]:
    saved = sys.stdout
    buffer = io.StringIO()
    sys.stdout = buffer
    try:
        yield buffer
    finally:
        sys.stdout = saved


# ---------------------------------------------------------- configurations


def realistic_configuration() -> dict:
    """The shape the docstrings show: metric group -> metric -> parameters."""
    return {
        "configuration": {
            "summarization": {
                "rouge_score": {"use_aggregator": True, "use_stemmer": True},
                "sari": {},
                "bleurt_score": {},
                "hap_score": {},
                "sacrebleu": {},
                "wiki_split": {},
                "meteor": {},
                "normalized_recall": {},
                "normalized_precision": {},
                "normalized_f1_score": {},
            },
            "retrieval_augmented_generation": {
                "faithfulness": {},
                "answer_relevance": {},
                "context_relevance": {"threshold": 0.5},
            },
        }
    }


def wide_configuration(width: int = 10_000) -> dict:
    """`width` metrics at the top level, each with its small parameter dict."""
    return {f"metric_{i:05d}": {"use_stemmer": True, "max_order": 4} for i in range(width)}


def deep_configuration(depth: int = 500, key: str = "target") -> dict:
    """`depth` nested levels, each with one plain value beside the next level."""
    inner: dict = {key: {}}
    for level in range(depth - 1, 0, -1):
        inner = {f"param_{level}": level, f"level_{level}": inner}
    return inner
