"""Resolves a metric configuration and computes the metrics it names.

A configuration looks like::

    {"configuration": {
        "summarization": {                      # task type or metric group
            "rouge_score": {"use_stemmer": True},   # metric -> its parameters
            "bleu": {},
        },
        "retrieval_augmented_generation": {"faithfulness": {}},
    }}

Nested dictionaries are walked: a key that is a metric id is a metric (its
value holds the metric's parameters, or is None or a list of metric ids
given without parameters), any other key is a container to walk into. A
group id such as "rouge_score" stands for all its sub-metrics. A container
that names no metric at all is rejected as an unknown metric id.

Computed here, on the first column of each data frame (one text per row,
rows aligned across the frames):

============================  =========================  =====================
metric                        needs                      parameters
============================  =========================  =====================
exact_match                   predictions, references    ignore_case,
                                                         ignore_punctuation
rouge1, rouge2, rougeL,       predictions, references    use_stemmer,
rougeLsum (group rouge_score)                            use_aggregator
bleu                          predictions, references    max_order, smooth,
                                                         lowercase
normalized_precision,         predictions, references    (none)
normalized_recall,
normalized_f1_score
faithfulness (deferred)       sources, predictions       (none)
============================  =========================  =====================

Each result is a dictionary with ``metric_value`` (the aggregate: the mean
over the records, except for BLEU where it is the corpus score), ``mean``,
``min``, ``max`` and ``record_level`` (one score per row). ROUGE always
reports the aggregate and the per-record scores, so ``use_aggregator`` is
accepted but changes nothing.

Faithfulness is finished in a second step: :meth:`LLMMetricManager.compute`
returns a task description under "faithfulness", and
:meth:`LLMMetricManager.get_metrics_result` turns it into the result. The
score is token support: the share of a prediction's words found in its
source text (None for an empty prediction; such rows are left out of the
aggregate).

Any other metric of the catalogue makes :meth:`LLMMetricManager.compute`
raise ``NotImplementedError`` naming it.
"""

from __future__ import annotations

import uuid
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import pandas as pd

from ..config.entities import LLMMetricType, LLMSubMetrics, LLMTaskType, find_metric
from . import text_scores

__all__ = ["LLMMetricManager", "resolve_configuration"]

Scores = list[float | None]
Params = dict[str, Any]

FAITHFULNESS = LLMMetricType.FAITHFULNESS.value
_TASK_IDS = frozenset(t.value for t in LLMTaskType)
_METRIC_IDS = frozenset(
    [m.value for m in LLMMetricType] + [m.value for m in LLMSubMetrics]
)


# ----------------------------------------------------------- configuration


def _expand(metric_id: str) -> list[str]:
    member = find_metric(metric_id)
    subs = getattr(member, "sub_metrics", None)
    return [m.value for m in subs] if subs else [metric_id]


def _add_metric(
    metric_id: str, params: object, where: str, out: dict[str, Params]
) -> None:
    if params is None:
        params = {}
    if not isinstance(params, Mapping):
        raise TypeError(
            f"parameters of metric '{metric_id}' at {where} must be a dict, "
            f"got {type(params).__name__}"
        )
    for key in params:
        if not isinstance(key, str):
            raise TypeError(f"parameter names of metric '{metric_id}' must be str")
    for name in _expand(metric_id):
        given = dict(params)
        if name in out and out[name] != given:
            raise ValueError(
                f"metric '{name}' is configured twice with different parameters: "
                f"{out[name]!r} and {given!r}"
            )
        out[name] = given


def _names_a_metric(node: Mapping[Any, Any]) -> bool:
    for key, value in node.items():
        if key in _METRIC_IDS:
            return True
        if isinstance(value, Mapping) and _names_a_metric(value):
            return True
        if isinstance(value, (list, tuple)) and any(v in _METRIC_IDS for v in value):
            return True
    return False


def _walk(node: Mapping[Any, Any], where: str, out: dict[str, Params]) -> None:
    for key, value in node.items():
        here = f"{where}[{key!r}]"
        if not isinstance(key, str):
            raise TypeError(f"configuration keys must be str, got {key!r} at {where}")
        if key in _METRIC_IDS:
            _add_metric(key, value, here, out)
        elif isinstance(value, Mapping):
            if key not in _TASK_IDS and not _names_a_metric(value):
                raise ValueError(f"unknown metric id '{key}' at {where}")
            _walk(value, here, out)
        elif isinstance(value, (list, tuple)):
            for item in value:
                if not isinstance(item, str) or item not in _METRIC_IDS:
                    raise ValueError(f"unknown metric id {item!r} in {here}")
                _add_metric(item, {}, here, out)
        else:
            raise ValueError(
                f"unknown metric id '{key}' at {where} (value of type "
                f"{type(value).__name__})"
            )


def resolve_configuration(configuration: object) -> dict[str, Params]:
    """Metric ids named by ``configuration`` (groups expanded), with params,
    in order of first mention."""
    if not isinstance(configuration, Mapping):
        raise TypeError(
            f"configuration must be a dict, got {type(configuration).__name__}"
        )
    if "configuration" not in configuration:
        raise ValueError(
            "configuration must have the key 'configuration' mapping metric "
            "groups to metrics, e.g. {'configuration': {'generation': {'bleu': {}}}}"
        )
    inner = configuration["configuration"]
    if not isinstance(inner, Mapping):
        raise TypeError(
            "configuration['configuration'] must be a dict, got "
            f"{type(inner).__name__}"
        )
    out: dict[str, Params] = {}
    _walk(inner, "configuration['configuration']", out)
    if not out:
        raise ValueError("the configuration names no metric")
    return out


# ------------------------------------------------------------------ frames


def _texts(frame: object, name: str) -> list[str]:
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame, got {type(frame).__name__}")
    if frame.shape[1] == 0:
        raise ValueError(f"{name} has no columns; the texts are read from its first column")
    column = frame.iloc[:, 0]
    texts: list[str] = column.tolist()
    for row, value in enumerate(texts):
        if not isinstance(value, str):
            raise TypeError(
                f"{name} row {row} (column {column.name!r}) holds "
                f"{type(value).__name__}, expected str"
            )
    return texts


# ----------------------------------------------------------------- metrics


def _bool(params: Params, key: str, default: bool) -> bool:
    value = params.get(key, default)
    if not isinstance(value, bool):
        raise TypeError(f"parameter '{key}' must be a bool, got {type(value).__name__}")
    return value


def _summary(scores: Scores, metric_value: float | None = None) -> dict[str, Any]:
    known = [s for s in scores if s is not None]
    mean = sum(known) / len(known) if known else None
    return {
        "metric_value": mean if metric_value is None else metric_value,
        "mean": mean,
        "min": min(known) if known else None,
        "max": max(known) if known else None,
        "record_level": list(scores),
    }


@dataclass(frozen=True)
class _Metric:
    needs: tuple[str, ...]
    params: frozenset[str]
    run: Callable[[dict[str, list[str]], Params], dict[str, Any]]


def _pairwise(score: Callable[[str, str, Params], float]) -> Callable[
    [dict[str, list[str]], Params], dict[str, Any]
]:
    def run(data: dict[str, list[str]], params: Params) -> dict[str, Any]:
        pairs = zip(data["predictions"], data["references"])
        return _summary([score(p, r, params) for p, r in pairs])

    return run


def _run_bleu(data: dict[str, list[str]], params: Params) -> dict[str, Any]:
    max_order = params.get("max_order", 4)
    if isinstance(max_order, bool) or not isinstance(max_order, int) or max_order < 1:
        raise ValueError(f"parameter 'max_order' must be a positive int, got {max_order!r}")
    smooth = _bool(params, "smooth", True)
    lowercase = _bool(params, "lowercase", False)

    def score(preds: list[str], refs: list[str]) -> float:
        return text_scores.bleu(preds, refs, max_order, smooth, lowercase)

    preds, refs = data["predictions"], data["references"]
    records: Scores = [score([p], [r]) for p, r in zip(preds, refs)]
    return _summary(records, metric_value=score(preds, refs))


_REF = ("predictions", "references")
_ROUGE_PARAMS = frozenset({"use_stemmer", "use_aggregator"})


def _rouge(score: Callable[[str, str, bool], float]) -> _Metric:
    def one(p: str, r: str, params: Params) -> float:
        _bool(params, "use_aggregator", True)
        return score(p, r, _bool(params, "use_stemmer", False))

    return _Metric(_REF, _ROUGE_PARAMS, _pairwise(one))


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
    "rouge1": _rouge(lambda p, r, stem: text_scores.rouge_n(p, r, 1, stem)),
    "rouge2": _rouge(lambda p, r, stem: text_scores.rouge_n(p, r, 2, stem)),
    "rougeL": _rouge(text_scores.rouge_l),
    "rougeLsum": _rouge(text_scores.rouge_lsum),
    "bleu": _Metric(_REF, frozenset({"max_order", "smooth", "lowercase"}), _run_bleu),
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


class LLMMetricManager:
    """Computes the metrics named by one configuration.

    :param configuration: ``{"configuration": {...}}`` as described in the
        module documentation; it is resolved (and checked) at once.
    :param kwargs: call context (for example ``origin``, ``service_url``);
        stored as :attr:`kwargs`, it does not change the computation.
    """

    def __init__(self, configuration: Mapping[str, Any], **kwargs: Any) -> None:
        self.configuration = configuration
        self.kwargs = kwargs
        self.metrics = resolve_configuration(configuration)

    def compute(
        self,
        sources: Any = None,
        predictions: Any = None,
        references: Any = None,
        **kwargs: Any,
    ) -> dict[str, Any]:
        """Compute the configured metrics on the first column of each frame.

        :return: metric id -> result dictionary; deferred metrics map to a
            task description to pass to :meth:`get_metrics_result`.
        :raises NotImplementedError: a configured metric is not computed here.
        :raises ValueError: a frame that a metric needs is missing, empty or
            of a different length than the others.
        """
        unknown = [m for m in self.metrics if m not in _METRICS and m not in _DEFERRED]
        if unknown:
            names = ", ".join(f"'{m}'" for m in unknown)
            supported = ", ".join(sorted([*_METRICS, *_DEFERRED]))
            raise NotImplementedError(
                f"the stand-in metrics plugin cannot compute {names} "
                f"(it computes: {supported})"
            )
        for metric_id, params in self.metrics.items():
            allowed = _METRICS[metric_id].params if metric_id in _METRICS else frozenset()
            extra = sorted(set(params) - allowed)
            if extra:
                raise ValueError(
                    f"metric '{metric_id}' takes no parameter(s) {', '.join(repr(e) for e in extra)}"
                    + (f"; it accepts: {', '.join(sorted(allowed))}" if allowed else "")
                )

        frames = {"sources": sources, "predictions": predictions, "references": references}
        needed: dict[str, list[str]] = {}
        for metric_id in self.metrics:
            needs = _METRICS[metric_id].needs if metric_id in _METRICS else _DEFERRED[metric_id]
            for frame_name in needs:
                needed.setdefault(frame_name, []).append(metric_id)
        data: dict[str, list[str]] = {}
        for frame_name, users in needed.items():
            if frames[frame_name] is None:
                raise ValueError(
                    f"the {frame_name} data frame is required by: {', '.join(users)}"
                )
            data[frame_name] = _texts(frames[frame_name], frame_name)
        lengths = {name: len(texts) for name, texts in data.items()}
        if len(set(lengths.values())) > 1:
            shown = ", ".join(f"{n} has {k}" for n, k in lengths.items())
            raise ValueError(f"the data frames must have the same number of rows: {shown}")
        if data and not next(iter(lengths.values())):
            raise ValueError("the data frames have no rows")

        result: dict[str, Any] = {}
        for metric_id, params in self.metrics.items():
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
                result[metric_id] = _METRICS[metric_id].run(data, params)
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
