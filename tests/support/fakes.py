"""Cheap stand-ins for the host kit and the metrics plugin.

They do no printing and no metric arithmetic, so that what the benchmarks
time is the work of LLMMetrics itself.  The same stand-ins are installed for
the compiled module and for the plain-Python baseline:

* fake plugin modules in ``sys.modules`` (manager, enumerations, robustness);
* module globals patched in both modules: ``Table`` (a table whose ``list``
  does nothing), ``validate_type`` (returns at once) and ``LLMAJEvaluators``
  (a trivial holder);
* a null writer for ``sys.stdout`` (the compiled module's ``print`` is the
  builtin taken when it was imported, so output is silenced at the stream).
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
from typing import Any

MANAGER_MODULE = "zel_metrics_plugin.metrics.llm.core.llm_metrics_manager"
ENTITIES_MODULE = "zel_metrics_plugin.metrics.llm.config.entities"
ROBUSTNESS_MODULE = "zel_metrics_plugin.metrics.llm.common.impl.robustness_metric"

TASK_TYPES = (
    "summarization",
    "generation",
    "question_answering",
    "extraction",
    "retrieval_augmented_generation",
)


# ------------------------------------------------------------------ host kit


class NullWriter:
    """A text stream that drops everything."""

    __slots__ = ()

    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        return None


class NullTable:
    """``Table(headers, record).list(title=...)`` that prints nothing."""

    __slots__ = ()

    def __init__(self, headers: Any, record: Any) -> None:
        pass

    def list(self, title: Any = None) -> None:
        return None


def cheap_validate_type(value: Any, name: Any, expected: Any, required: Any) -> None:
    return None


class CheapEvaluators:
    __slots__ = ("client",)

    def __init__(self, client: Any) -> None:
        self.client = client


class RecordingTable:
    """Keeps every table it is given, for comparing the two implementations."""

    tables: list[tuple[Any, Any, Any]] = []

    def __init__(self, headers: Any, record: Any) -> None:
        self.headers = headers
        self.record = record

    def list(self, title: Any = None) -> None:
        RecordingTable.tables.append((list(self.headers), [list(r) for r in self.record], title))


# -------------------------------------------------------------------- plugin


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


def _module(name: str, **attrs: Any) -> types.ModuleType:
    module = types.ModuleType(name)
    module.__dict__.update(attrs)
    return module


# ---------------------------------------------------------------- catalogues


class _PlainCatalogueType(type):
    """Metaclass of the plain catalogues: iterating the class yields its members."""

    def __iter__(cls) -> Iterator[Any]:
        return iter(cls._members)

    def __len__(cls) -> int:
        return len(cls._members)


class _SubMetricBase(enum.Enum):
    def __new__(cls, metric_id: str, supported_tasks: list, is_reference_free: bool, metrics_group: Any):
        member = object.__new__(cls)
        member._value_ = metric_id
        member.supported_tasks = supported_tasks
        member.is_reference_free = is_reference_free
        member.metrics_group = metrics_group
        return member


class _MetricBase(enum.Enum):
    def __new__(cls, metric_id: str, supported_tasks: list, is_reference_free: bool):
        member = object.__new__(cls)
        member._value_ = metric_id
        member.supported_tasks = supported_tasks
        member.is_reference_free = is_reference_free
        member.sub_metrics = None
        return member


@dataclass
class Catalogue:
    """Three plugin enumerations of a given size, and ids to query them with."""

    kind: str  # "plain" or "enum"
    size: int  # number of metrics and sub-metrics together
    task_type_cls: Any
    metric_cls: Any
    sub_metric_cls: Any
    task_type: str  # a valid task type
    metric_id: str  # a valid metric id
    group_id: str  # a metric group with sub-metrics
    module: types.ModuleType  # the fake entities module

    @property
    def label(self) -> str:
        return f"{self.kind}, n={self.size:,}"


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


def _catalogue_layout(size: int) -> tuple[list, list, list]:
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
    metrics = [(mid, tasks(), rng.random() < 0.4) for mid in metric_ids]
    step = max(1, n_metrics // n_groups)
    group_ids = [metric_ids[j] for j in range(step // 2, n_metrics, step)][:n_groups]
    subs = []
    for gid in group_ids:
        for part in range(4):
            subs.append((f"{gid}_part{part}", tasks(), rng.random() < 0.4, gid))
    for word in _words(rng, n_loose, taken):
        subs.append((f"{word}_aux", tasks(), True, None))
    return metrics, subs, group_ids


def _plain_class(name: str) -> Any:
    return _PlainCatalogueType(name, (), {"_members": ()})


def _plain_member(cls: Any, **attrs: Any) -> Any:
    member = object.__new__(cls)
    member.__dict__.update(attrs)
    return member


def build_catalogue(kind: str, size: int) -> Catalogue:
    metrics, subs, group_ids = _catalogue_layout(size)
    if kind == "plain":
        task_cls = _plain_class("LLMTaskType")
        metric_cls = _plain_class("LLMMetricType")
        sub_cls = _plain_class("LLMSubMetrics")
        task_cls._members = tuple(_plain_member(task_cls, value=t) for t in TASK_TYPES)
        metric_cls._members = tuple(
            _plain_member(metric_cls, value=mid, supported_tasks=st, is_reference_free=rf, sub_metrics=None)
            for mid, st, rf in metrics
        )
        sub_cls._members = tuple(
            _plain_member(sub_cls, value=mid, supported_tasks=st, is_reference_free=rf, metrics_group=g)
            for mid, st, rf, g in subs
        )
    elif kind == "enum":
        task_cls = enum.Enum("LLMTaskType", [(t.upper(), t) for t in TASK_TYPES])
        metric_cls = _MetricBase("LLMMetricType", [(mid.upper(), (mid, st, rf)) for mid, st, rf in metrics])
        sub_cls = _SubMetricBase("LLMSubMetrics", [(mid.upper(), (mid, st, rf, g)) for mid, st, rf, g in subs])
    else:
        raise ValueError(kind)
    by_id = {m.value: m for m in metric_cls}
    members_of: dict = {}
    for s in sub_cls:
        if s.metrics_group is not None:
            members_of.setdefault(s.metrics_group, []).append(s)
    for gid, members in members_of.items():
        by_id[gid].sub_metrics = members
    middle = metrics[len(metrics) // 2][0]
    module = _module(ENTITIES_MODULE, LLMTaskType=task_cls, LLMMetricType=metric_cls, LLMSubMetrics=sub_cls)
    return Catalogue(
        kind=kind,
        size=size,
        task_type_cls=task_cls,
        metric_cls=metric_cls,
        sub_metric_cls=sub_cls,
        task_type="generation",
        metric_id=middle,
        group_id=group_ids[len(group_ids) // 2],
        module=module,
    )


# --------------------------------------------------------------- installing


class StandIns:
    """Installs the stand-ins into the compiled module and the baseline, and undoes it."""

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
                self._saved_globals.append((module, name, module.__dict__.get(name, _MISSING)))
                setattr(module, name, value)
        fake_modules = {
            MANAGER_MODULE: _module(MANAGER_MODULE, LLMMetricManager=FakeMetricManager),
            ROBUSTNESS_MODULE: _module(ROBUSTNESS_MODULE, RobustnessMetrics=FakeRobustnessMetrics),
            ENTITIES_MODULE: _module(ENTITIES_MODULE),
        }
        for name, module in fake_modules.items():
            self._saved_sys_modules[name] = sys.modules.get(name, _MISSING)
            sys.modules[name] = module

    def use_catalogue(self, catalogue: Catalogue) -> None:
        sys.modules[ENTITIES_MODULE] = catalogue.module

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


_MISSING = object()


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


def make_client() -> Any:
    from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator
    from zel_tarn_quillgate import TarnQuillgateV2Adapter

    return TarnQuillgateV2Adapter(
        BearerTokenAuthenticator("token-123"),
        "https://monitoring.example",
        host="monitoring.example",
        service_instance_id="instance-1",
    )


# ----------------------------------------------------------- configurations


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
