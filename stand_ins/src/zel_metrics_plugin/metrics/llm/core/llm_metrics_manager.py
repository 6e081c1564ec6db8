"""Resolves a metric configuration and computes the metrics it names.

A configuration looks like::

    {"configuration": {
        "summarization": {                          # a task type
            "rouge_score": {"use_stemmer": True},   # a metric group: all its metrics
            "bleu": {},                             # a metric and its parameters
        },
        "retrieval_augmented_generation": {
            "rouge_score": {"rouge1": {}, "rougeL": {}},   # some metrics of a group
            "faithfulness": {},
        },
    }}

Under "configuration" every key is a task type (a value of ``LLMTaskType``).
Under a task type every key is a metric or a metric group whose catalogue
entry supports that task type, mapped to the metric's parameters (a dict, or
None for none).  A group maps either to parameters for all its metrics or
to a dict of some of its metrics and their parameters.  A list of metric ids
stands for those metrics without parameters.  Anything else is refused with
a ``ValueError`` that names the valid values and the closest match.

Computed here, on the one text column of each data frame; the frames' rows
are paired by index, so the frames must have the same index:

============================  =========================  =====================
metric                        needs                      parameters
============================  =========================  =====================
exact_match                   predictions, references    ignore_case,
                                                         ignore_punctuation
rouge1, rouge2, rougeL,       predictions, references    use_stemmer,
rougeLsum (group rouge_score)                            use_aggregator
bleu, sacrebleu               predictions, references    lowercase, tokenize,
                                                         smooth_method,
                                                         smooth_value,
                                                         max_ngram_order
normalized_precision,         predictions, references    (none)
normalized_recall,
normalized_f1_score
faithfulness (deferred)       sources, predictions       (none)
============================  =========================  =====================

A frame with several columns is refused unless the column is named with the
keyword argument ``<frame>_column`` (for example ``predictions_column=
"answer"``), given to ``compute_metrics``.

Each result is a dictionary with ``metric_value`` (the aggregate), ``mean``,
``min``, ``max`` and ``record_level`` (one score per row).  ``metric_value``
is the mean over the records, except for BLEU:

* ROUGE is rouge-score's F-measure (``use_stemmer``: its Porter stemmer).
  ``use_aggregator`` is accepted but changes nothing: the aggregate is always
  the plain mean of the per-record scores.
* BLEU is sacrebleu's, divided by 100.  ``metric_value`` (also under
  ``corpus_score``) is the corpus score, computed from n-gram counts pooled
  over all records: the number to compare with published BLEU.  ``mean``,
  ``min``, ``max`` and ``record_level`` are sentence-level BLEU per record, a
  different quantity (their mean is not the corpus score).  ``signature`` and
  ``record_signature`` are sacrebleu's signatures of the two.

Faithfulness is finished in a second step: :meth:`LLMMetricManager.compute`
returns a task description under "faithfulness", and
:meth:`LLMMetricManager.get_metrics_result` turns it into the result. The
score is token support: the share of a prediction's words found in its
source text (None for an empty prediction; such rows are left out of the
aggregate).

Any other metric of the catalogue makes :meth:`LLMMetricManager.compute`
raise ``NotImplementedError`` naming it.

Long computations show a progress bar of the rows (``tqdm.auto``): on
standard error when it is a terminal, as a widget in a notebook, and nothing
otherwise.
"""

from __future__ import annotations

import difflib
import sys
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from enum import Enum
from typing import Any

import pandas as pd

from ..config.entities import LLMMetricType, LLMSubMetrics, LLMTaskType
from . import text_scores

__all__ = ["LLMMetricManager", "resolve_configuration"]

Scores = list[float | None]
Params = dict[str, Any]
Data = dict[str, list[str]]
Tick = Callable[[], None]

FAITHFULNESS = LLMMetricType.FAITHFULNESS.value
_TASK_IDS: tuple[str, ...] = tuple(t.value for t in LLMTaskType)
_MEMBERS: dict[str, LLMMetricType | LLMSubMetrics] = {
    m.value: m for m in [*LLMMetricType, *LLMSubMetrics]
}
# Group id -> ids of its metrics.
_GROUPS: dict[str, list[str]] = {
    m.value: [s.value for s in m.sub_metrics] for m in LLMMetricType if m.sub_metrics
}
# Short names people use for task types.
_TASK_ALIASES = {
    "qa": "question_answering",
    "rag": "retrieval_augmented_generation",
    "summary": "summarization",
    "summarisation": "summarization",
}
FRAMES = ("sources", "predictions", "references")


# ---------------------------------------------------------------- messages


def closest(word: object, candidates: Iterable[str], aliases: Mapping[str, str] | None = None) -> str | None:
    """The candidate ``word`` was most likely meant to be, or None."""
    if not isinstance(word, str):
        return None
    options = list(candidates)
    if aliases and word.lower() in aliases and aliases[word.lower()] in options:
        return aliases[word.lower()]
    by_lower = {c.lower(): c for c in options}
    if word.lower() in by_lower:
        return by_lower[word.lower()]
    matches = difflib.get_close_matches(word, options, n=1, cutoff=0.6)
    if not matches:
        matches = difflib.get_close_matches(word.lower(), list(by_lower), n=1, cutoff=0.6)
        matches = [by_lower[m] for m in matches]
    return matches[0] if matches else None


def _did_you_mean(word: object, candidates: Iterable[str], aliases: Mapping[str, str] | None = None) -> str:
    hint = closest(word, candidates, aliases)
    return f" (did you mean {hint!r}?)" if hint is not None else ""


def _listing(values: Iterable[str]) -> str:
    return ", ".join(values)


# ----------------------------------------------------------- configuration


def _supported_ids(task_type: str) -> list[str]:
    """Metric and group ids that may be configured under ``task_type``."""
    return sorted(i for i, m in _MEMBERS.items() if task_type in m.supported_tasks)


def _check_supported(metric_id: str, task_type: str, where: str) -> None:
    member = _MEMBERS[metric_id]
    if task_type not in member.supported_tasks:
        raise ValueError(
            f"metric '{metric_id}' at {where} does not apply to the task type "
            f"'{task_type}'; its task types are: {_listing(member.supported_tasks)}. "
            f"Metrics of '{task_type}': {_listing(_supported_ids(task_type))}"
        )


def _params(value: object, metric_id: str, where: str) -> Params:
    if value is None:
        return {}
    if not isinstance(value, Mapping):
        raise TypeError(
            f"parameters of metric '{metric_id}' at {where} must be a dict, "
            f"got {type(value).__name__}"
        )
    for key in value:
        if not isinstance(key, str):
            raise TypeError(
                f"parameter names of metric '{metric_id}' at {where} must be str, got {key!r}"
            )
    return dict(value)


def _add(metric_id: str, params: Params, where: str, out: dict[str, Params]) -> None:
    if metric_id in out and out[metric_id] != params:
        raise ValueError(
            f"metric '{metric_id}' is configured twice with different parameters: "
            f"{out[metric_id]!r} and {params!r} (the second at {where})"
        )
    out[metric_id] = params


def _add_group(group: str, value: object, task_type: str, where: str, out: dict[str, Params]) -> None:
    members = _GROUPS[group]
    if isinstance(value, (list, tuple)):
        value = dict.fromkeys(value)
    if isinstance(value, Mapping) and value and any(k in _MEMBERS for k in value):
        # Some metrics of the group, each with its parameters.
        for key, params in value.items():
            here = f"{where}[{key!r}]"
            if key not in members:
                known = key in _MEMBERS
                raise ValueError(
                    f"{key!r} at {where} is not a metric of the group '{group}'"
                    f"{'' if known else _did_you_mean(key, members)}; its metrics are: "
                    f"{_listing(members)}"
                    + ("" if known else "; parameters of some metrics of a group go in each "
                       "metric's dict, e.g. {'rouge1': {'use_stemmer': True}}")
                )
            _check_supported(key, task_type, here)
            _add(key, _params(params, key, here), here, out)
        return
    params = _params(value, group, where)
    for metric_id in members:
        _check_supported(metric_id, task_type, where)
        _add(metric_id, dict(params), where, out)


def _add_metric(key: object, value: object, task_type: str, where: str, out: dict[str, Params]) -> None:
    here = f"{where}[{key!r}]"
    if not isinstance(key, str):
        hint = " (use the member's .value)" if isinstance(key, Enum) else ""
        raise TypeError(f"metric ids must be str, got {key!r} at {where}{hint}")
    if key not in _MEMBERS:
        supported = _supported_ids(task_type)
        raise ValueError(
            f"unknown metric id {key!r} at {where}{_did_you_mean(key, supported)}; "
            f"the metrics of '{task_type}' are: {_listing(supported)}"
        )
    _check_supported(key, task_type, here)
    if key in _GROUPS:
        _add_group(key, value, task_type, here, out)
    else:
        _add(key, _params(value, key, here), here, out)


def resolve_configuration(configuration: object) -> dict[str, Params]:
    """Metric ids named by ``configuration`` (groups expanded), with their
    parameters, in order of first mention."""
    if not isinstance(configuration, Mapping):
        raise TypeError(
            f"configuration must be a dict, got {type(configuration).__name__}"
        )
    example = "e.g. {'configuration': {'generation': {'bleu': {}}}}"
    if "configuration" not in configuration:
        raise ValueError(
            "configuration must have the key 'configuration' mapping task types "
            f"to metrics, {example}"
        )
    inner = configuration["configuration"]
    if not isinstance(inner, Mapping):
        raise TypeError(
            "configuration['configuration'] must be a dict, got "
            f"{type(inner).__name__}"
        )
    where = "configuration['configuration']"
    out: dict[str, Params] = {}
    for task_type, metrics in inner.items():
        here = f"{where}[{task_type!r}]"
        if not isinstance(task_type, str) or task_type not in _TASK_IDS:
            if isinstance(task_type, str) and task_type in _MEMBERS:
                raise ValueError(
                    f"{task_type!r} at {where} is a metric, not a task type: metrics go "
                    f"under a task type, {example}; the task types are: {_listing(_TASK_IDS)}"
                )
            raise ValueError(
                f"unknown task type {task_type!r} at {where}"
                f"{_did_you_mean(task_type, _TASK_IDS, _TASK_ALIASES)}; the task types are: "
                f"{_listing(_TASK_IDS)}"
            )
        if isinstance(metrics, Mapping):
            for key, value in metrics.items():
                _add_metric(key, value, task_type, here, out)
        elif isinstance(metrics, (list, tuple)):
            for key in metrics:
                _add_metric(key, None, task_type, here, out)
        else:
            raise TypeError(
                f"{here} must map metric ids to their parameters (a dict), or be a list "
                f"of metric ids, got {type(metrics).__name__}"
            )
    if not out:
        raise ValueError(f"the configuration names no metric, {example}")
    return out


# ------------------------------------------------------------------ frames


def _column(frame: pd.DataFrame, name: str, chosen: object) -> Any:
    columns = list(frame.columns)
    keyword = f"{name}_column"
    if chosen is not None:
        if chosen not in columns:
            shown = [str(c) for c in columns]
            raise ValueError(
                f"{keyword}={chosen!r}: the {name} data frame has no such column"
                f"{_did_you_mean(chosen, shown)}; its columns are: {_listing(shown)}"
            )
        return chosen
    if not columns:
        raise ValueError(f"the {name} data frame has no columns; it must hold one column of texts")
    if len(columns) > 1:
        listed = ", ".join(repr(c) for c in columns)
        raise ValueError(
            f"the {name} data frame has {len(columns)} columns ({listed}); the texts are "
            f"read from one column: pass {name}[[{columns[0]!r}]], or name the column "
            f"with the keyword argument {keyword}={columns[0]!r}"
        )
    return columns[0]


def _texts(frame: object, name: str, chosen: object = None) -> list[str]:
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame, got {type(frame).__name__}")
    column = _column(frame, name, chosen)
    values = frame[column]
    if isinstance(values, pd.DataFrame):
        raise ValueError(f"the {name} data frame has several columns named {column!r}")
    texts: list[str] = values.tolist()
    for row, (label, value) in enumerate(zip(frame.index, texts)):
        if not isinstance(value, str):
            raise TypeError(
                f"{name} row {row} (index {label!r}, column {column!r}) holds "
                f"{type(value).__name__}, expected str"
            )
    return texts


def _labels(index: pd.Index) -> str:
    shown = [repr(label) for label in index[:4]]
    return "[" + ", ".join(shown) + (", ...]" if len(index) > 4 else "]")


def _check_alignment(frames: Mapping[str, pd.DataFrame]) -> None:
    """Rows are paired by index label: the frames must share their index."""
    lengths = {name: len(frame) for name, frame in frames.items()}
    if len(set(lengths.values())) > 1:
        shown = ", ".join(f"{n} has {k}" for n, k in lengths.items())
        raise ValueError(f"the data frames must have the same number of rows: {shown}")
    if frames and not next(iter(lengths.values())):
        raise ValueError("the data frames have no rows")
    items = list(frames.items())
    first_name, first = items[0] if items else ("", None)
    for name, frame in items[1:]:
        assert first is not None
        if not frame.index.equals(first.index):
            raise ValueError(
                f"the indexes of the data frames do not line up: {first_name} has "
                f"{_labels(first.index)} and {name} has {_labels(frame.index)}; rows are "
                "paired by index label, so give the frames the same index (for example "
                "with .reset_index(drop=True) on each)"
            )


# ---------------------------------------------------------------- progress

#: Seconds a computation runs before its progress bar appears.
PROGRESS_DELAY = 1.0


def _in_notebook() -> bool:
    """True inside a Jupyter kernel (IPython is never imported for this)."""
    ipython = sys.modules.get("IPython")
    shell = getattr(ipython, "get_ipython", lambda: None)() if ipython is not None else None
    return shell is not None and "IPKernelApp" in getattr(shell, "config", {})


class _Progress:
    """A bar of the rows computed: tqdm's text bar on standard error when
    that is a terminal, its widget in a notebook (tqdm.auto), otherwise
    nothing (and tqdm is not imported).  Without tqdm there is no bar.

    The metrics are computed group after group, each over every row; every
    group's rows advance the bar by 1/groups of a row, so that it ends at the
    number of rows."""

    def __init__(self, rows: int, groups: int, description: str) -> None:
        self._bar: Any = None
        self._groups = max(groups, 1)
        self._ticks = 0
        stream = sys.stderr
        try:
            interactive = stream is not None and stream.isatty()
        except (AttributeError, ValueError):
            interactive = False
        if not (interactive or _in_notebook()) or rows <= 0 or groups <= 0:
            return
        try:
            from tqdm.auto import tqdm
        except ImportError:
            return

        class Bar(tqdm):  # type: ignore[type-arg]
            # No monitor thread: the bar is updated on every record anyway.
            monitor_interval = 0

        self._bar = Bar(
            total=rows, desc=description, unit="row", file=stream,
            leave=False, delay=PROGRESS_DELAY, dynamic_ncols=True,
        )

    def tick(self) -> None:
        if self._bar is not None:
            self._ticks += 1
            done = self._ticks // self._groups
            if done > self._bar.n:
                self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


# ----------------------------------------------------------------- metrics


def _bool(params: Params, key: str, default: bool) -> bool:
    value = params.get(key, default)
    if not isinstance(value, bool):
        raise TypeError(f"parameter '{key}' must be a bool, got {type(value).__name__}")
    return value


def _summary(scores: Sequence[float | None], metric_value: float | None = None) -> dict[str, Any]:
    known = [s for s in scores if s is not None]
    mean = sum(known) / len(known) if known else None
    return {
        "metric_value": mean if metric_value is None else metric_value,
        "mean": mean,
        "min": min(known) if known else None,
        "max": max(known) if known else None,
        "record_level": list(scores),
    }


# A job computes one or more metrics with one pass over the records.
Job = Callable[[Data, Tick], dict[str, dict[str, Any]]]


@dataclass(frozen=True)
class _Metric:
    needs: tuple[str, ...]
    params: frozenset[str]
    # Checks the parameters of one metric and returns the job key (metrics
    # whose keys are equal are computed by one job) and the job.
    plan: Callable[[str, Params], tuple[tuple[Any, ...], Callable[[list[str]], Job]]]


def _pairwise(score: Callable[[str, str, Params], float]) -> Callable[[str, Params], tuple[tuple[Any, ...], Callable[[list[str]], Job]]]:
    def plan(metric_id: str, params: Params) -> tuple[tuple[Any, ...], Callable[[list[str]], Job]]:
        score("", "", params)  # checks the parameters before any work

        def job_for(ids: list[str]) -> Job:
            def job(data: Data, tick: Tick) -> dict[str, dict[str, Any]]:
                records: Scores = []
                for p, r in zip(data["predictions"], data["references"]):
                    records.append(score(p, r, params))
                    tick()
                return {i: _summary(records) for i in ids}

            return job

        return (metric_id,), job_for

    return plan


def _plan_rouge(metric_id: str, params: Params) -> tuple[tuple[Any, ...], Callable[[list[str]], Job]]:
    _bool(params, "use_aggregator", True)
    use_stemmer = _bool(params, "use_stemmer", False)

    def job_for(ids: list[str]) -> Job:
        def job(data: Data, tick: Tick) -> dict[str, dict[str, Any]]:
            scores = text_scores.rouge_scores(
                data["predictions"], data["references"], ids, use_stemmer, tick
            )
            return {i: _summary(scores[i]) for i in ids}

        return job

    # All ROUGE types with the same parameters share one pass.
    return ("rouge", tuple(sorted(params.items()))), job_for


# Tokenizers of sacrebleu that need nothing beyond sacrebleu itself.
_BLEU_TOKENIZERS = ("13a", "intl", "char", "zh", "none")
_BLEU_SMOOTHING = ("exp", "floor", "add-k", "none")


def _plan_bleu(metric_id: str, params: Params) -> tuple[tuple[Any, ...], Callable[[list[str]], Job]]:
    lowercase = _bool(params, "lowercase", False)
    tokenize = params.get("tokenize", "13a")
    if tokenize not in _BLEU_TOKENIZERS:
        raise ValueError(
            f"parameter 'tokenize' of '{metric_id}' must be one of {_listing(_BLEU_TOKENIZERS)}, "
            f"got {tokenize!r}{_did_you_mean(tokenize, _BLEU_TOKENIZERS)}"
        )
    smooth_method = params.get("smooth_method", "exp")
    if smooth_method not in _BLEU_SMOOTHING:
        raise ValueError(
            f"parameter 'smooth_method' of '{metric_id}' must be one of "
            f"{_listing(_BLEU_SMOOTHING)}, got {smooth_method!r}"
            f"{_did_you_mean(smooth_method, _BLEU_SMOOTHING)}"
        )
    smooth_value = params.get("smooth_value")
    if smooth_value is not None and (isinstance(smooth_value, bool) or not isinstance(smooth_value, (int, float))):
        raise TypeError(f"parameter 'smooth_value' must be a number, got {type(smooth_value).__name__}")
    order = params.get("max_ngram_order", 4)
    if isinstance(order, bool) or not isinstance(order, int) or order < 1:
        raise ValueError(f"parameter 'max_ngram_order' must be a positive int, got {order!r}")

    def job_for(ids: list[str]) -> Job:
        def job(data: Data, tick: Tick) -> dict[str, dict[str, Any]]:
            scores = text_scores.bleu_scores(
                data["predictions"], data["references"], lowercase=lowercase,
                tokenize=tokenize, smooth_method=smooth_method,
                smooth_value=None if smooth_value is None else float(smooth_value),
                max_ngram_order=order, tick=tick,
            )
            result = _summary(scores.records, metric_value=scores.corpus)
            result["corpus_score"] = scores.corpus
            result["signature"] = scores.signature
            result["record_signature"] = scores.record_signature
            return {i: dict(result) for i in ids}

        return job

    return ("bleu", tuple(sorted(params.items()))), job_for


_REF = ("predictions", "references")
_ROUGE_PARAMS = frozenset({"use_stemmer", "use_aggregator"})
_BLEU_PARAMS = frozenset({"lowercase", "tokenize", "smooth_method", "smooth_value", "max_ngram_order"})


def _overlap(index: int) -> _Metric:
    return _Metric(
        _REF,
        frozenset(),
        _pairwise(lambda p, r, _: text_scores.overlap_scores(p, r)[index]),
    )


_METRICS: dict[str, _Metric] = {
    "exact_match": _Metric(
        _REF,
        frozenset({"ignore_case", "ignore_punctuation"}),
        _pairwise(
            lambda p, r, params: text_scores.exact_match(
                p,
                r,
                _bool(params, "ignore_case", True),
                _bool(params, "ignore_punctuation", True),
            )
        ),
    ),
    **{t: _Metric(_REF, _ROUGE_PARAMS, _plan_rouge) for t in text_scores.ROUGE_TYPES},
    "bleu": _Metric(_REF, _BLEU_PARAMS, _plan_bleu),
    "sacrebleu": _Metric(_REF, _BLEU_PARAMS, _plan_bleu),
    "normalized_precision": _overlap(0),
    "normalized_recall": _overlap(1),
    "normalized_f1_score": _overlap(2),
}

# Metrics finished by get_metrics_result, with the frames they need.
_DEFERRED: dict[str, tuple[str, ...]] = {FAITHFULNESS: ("sources", "predictions")}


def _finish_faithfulness(task: Mapping[str, Any]) -> dict[str, Any]:
    inputs = task.get("inputs")
    if not isinstance(inputs, Mapping):
        raise ValueError("faithfulness task has no 'inputs'")
    sources, predictions = inputs.get("sources"), inputs.get("predictions")
    if (
        not isinstance(sources, list)
        or not isinstance(predictions, list)
        or len(sources) != len(predictions)
        or not all(isinstance(t, str) for t in sources + predictions)
    ):
        raise ValueError(
            "faithfulness task inputs must be two lists of texts of equal length"
        )
    scores: Scores = [
        text_scores.token_support(p, s) for s, p in zip(sources, predictions)
    ]
    return _summary(scores)


# ----------------------------------------------------------------- manager

# The keywords the manager reads or is given by the caller's client, and the
# caller's own parameter names (a keyword meant for one lands here when
# misspelt).  Other keywords are passed on to custom evaluators untouched.
KNOWN_KEYWORDS = (
    "origin", "is_vesk", "is_bearer_token", "authenticator", "service_url", "host", "service_instance_id",
    *(f"{frame}_column" for frame in FRAMES),
    "configuration", *FRAMES, "custom_evaluators", "metrics_result",
)


def _check_keywords(kwargs: Mapping[str, Any]) -> None:
    """Refuses a keyword that is not one of KNOWN_KEYWORDS but close to one:
    a misspelling that would otherwise be ignored (``custom_evaluator=[f]``
    would never run ``f``)."""
    for word in kwargs:
        if word in KNOWN_KEYWORDS:
            continue
        matches = difflib.get_close_matches(word, KNOWN_KEYWORDS, n=1, cutoff=0.8)
        if matches:
            raise TypeError(
                f"unknown keyword argument {word!r} (did you mean {matches[0]!r}?); "
                "keywords the metrics plugin does not know are passed to custom evaluators only"
            )


class LLMMetricManager:
    """Computes the metrics named by one configuration.

    :param configuration: ``{"configuration": {...}}`` as described in the
        module documentation; it is resolved (and checked) at once.
    :param kwargs: call context (for example ``origin``, ``service_url``);
        stored as :attr:`kwargs`, it does not change the computation.
    :raises TypeError: a keyword is a near miss of a known one (see
        ``KNOWN_KEYWORDS``), such as ``custom_evaluator``.
    """

    def __init__(self, configuration: Mapping[str, Any], **kwargs: Any) -> None:
        _check_keywords(kwargs)
        self.configuration = configuration
        self.kwargs = kwargs
        self.metrics = resolve_configuration(configuration)

    def _check_metrics(self) -> list[tuple[tuple[Any, ...], Callable[[list[str]], Job], str]]:
        unknown = [m for m in self.metrics if m not in _METRICS and m not in _DEFERRED]
        if unknown:
            names = ", ".join(f"'{m}'" for m in unknown)
            supported = ", ".join(sorted([*_METRICS, *_DEFERRED]))
            raise NotImplementedError(
                f"the stand-in metrics plugin cannot compute {names} "
                f"(it computes: {supported})"
            )
        plans = []
        for metric_id, params in self.metrics.items():
            allowed = _METRICS[metric_id].params if metric_id in _METRICS else frozenset()
            extra = sorted(set(params) - allowed)
            if extra:
                hint = _did_you_mean(extra[0], sorted(allowed))
                raise ValueError(
                    f"metric '{metric_id}' takes no parameter(s) {', '.join(repr(e) for e in extra)}{hint}"
                    + (f"; it accepts: {', '.join(sorted(allowed))}" if allowed else "")
                )
            if metric_id in _METRICS:
                key, job_for = _METRICS[metric_id].plan(metric_id, params)
                plans.append((key, job_for, metric_id))
        return plans

    def compute(
        self,
        sources: Any = None,
        predictions: Any = None,
        references: Any = None,
        **kwargs: Any,
    ) -> dict[str, Any]:
        """Compute the configured metrics on the text column of each frame.

        :param kwargs: ``sources_column``, ``predictions_column`` and
            ``references_column`` name the text column of a frame with
            several columns; other keywords are call context and ignored.
        :return: metric id -> result dictionary; deferred metrics map to a
            task description to pass to :meth:`get_metrics_result`.
        :raises NotImplementedError: a configured metric is not computed here.
        :raises ValueError: a frame that a metric needs is missing, empty, has
            several columns, or does not line up with the others.
        """
        plans = self._check_metrics()
        frames = {"sources": sources, "predictions": predictions, "references": references}
        needed: dict[str, list[str]] = {}
        for metric_id in self.metrics:
            needs = _METRICS[metric_id].needs if metric_id in _METRICS else _DEFERRED[metric_id]
            for frame_name in needs:
                needed.setdefault(frame_name, []).append(metric_id)
        data: Data = {}
        used: dict[str, pd.DataFrame] = {}
        for frame_name in FRAMES:
            if frame_name not in needed:
                continue
            frame = frames[frame_name]
            if frame is None:
                raise ValueError(
                    f"the {frame_name} data frame is required by: {', '.join(needed[frame_name])}"
                )
            data[frame_name] = _texts(frame, frame_name, kwargs.get(f"{frame_name}_column"))
            used[frame_name] = frame
        _check_alignment(used)

        # Metrics with equal job keys (ROUGE types with the same parameters)
        # are computed together.
        grouped: dict[tuple[Any, ...], tuple[Callable[[list[str]], Job], list[str]]] = {}
        for key, job_for, metric_id in plans:
            grouped.setdefault(key, (job_for, []))[1].append(metric_id)
        rows = len(next(iter(data.values()))) if data else 0
        computed: dict[str, dict[str, Any]] = {}
        progress = _Progress(rows, len(grouped), "computing metrics")
        try:
            for job_for, ids in grouped.values():
                computed.update(job_for(ids)(data, progress.tick))
        finally:
            progress.close()

        result: dict[str, Any] = {}
        for metric_id in self.metrics:
            if metric_id in _DEFERRED:
                result[metric_id] = {
                    "status": "submitted",
                    "task_id": str(uuid.uuid4()),
                    "metric_id": metric_id,
                    "method": "token_support",
                    "record_count": len(data["predictions"]),
                    "inputs": {name: list(data[name]) for name in _DEFERRED[metric_id]},
                }
            else:
                result[metric_id] = computed[metric_id]
        return result

    def get_metrics_result(
        self, metrics_result: Mapping[str, Any], **kwargs: Any
    ) -> dict[str, Any]:
        """Finish the deferred metrics of an earlier :meth:`compute` result.

        :return: a new dictionary: the finished metrics' results (with
            ``status`` "completed" and their ``task_id``) and every other
            entry of ``metrics_result`` unchanged.
        """
        if not isinstance(metrics_result, Mapping):
            raise TypeError(
                "metrics_result must be the dict returned by compute, got "
                f"{type(metrics_result).__name__}"
            )
        for metric_id in self.metrics:
            if metric_id in _DEFERRED and metric_id not in metrics_result:
                raise ValueError(
                    f"metrics_result holds no entry for '{metric_id}', which the "
                    "configuration names; pass the result of compute"
                )
        finished: dict[str, Any] = {}
        for name, entry in metrics_result.items():
            if isinstance(entry, Mapping) and entry.get("status") == "submitted":
                metric_id = entry.get("metric_id", name)
                if metric_id != FAITHFULNESS:
                    raise ValueError(f"cannot finish a task for metric {metric_id!r}")
                done = _finish_faithfulness(entry)
                done["status"] = "completed"
                done["task_id"] = entry.get("task_id")
                finished[name] = done
            else:
                finished[name] = entry
        return finished
