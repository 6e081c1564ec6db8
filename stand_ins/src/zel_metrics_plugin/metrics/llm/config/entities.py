"""The catalogue of LLM task types and metrics.

Every metric is a member of :class:`LLMMetricType` (metrics configured on
their own or as a group) or :class:`LLMSubMetrics` (the parts of a group, and
a few auxiliary scores). A member's ``value`` is its id, the string used in
configurations. Members carry:

``supported_tasks``
    list of the task-type ids (values of :class:`LLMTaskType`) the metric
    applies to;
``is_reference_free``
    True when the metric needs no reference text;
``metrics_group`` (sub-metrics only)
    id of the group the sub-metric belongs to, or None;
``sub_metrics`` (metrics only)
    for a group, the list of its sub-metric members; None otherwise.

Ids are unique across both metric enumerations.
"""

from __future__ import annotations

from enum import Enum

__all__ = [
    "LLMMetricType",
    "LLMSubMetrics",
    "LLMTaskType",
    "find_metric",
    "metric_ids",
]


class LLMTaskType(Enum):
    """Kinds of LLM task a metric can evaluate."""

    SUMMARIZATION = "summarization"
    GENERATION = "generation"
    QUESTION_ANSWERING = "question_answering"
    EXTRACTION = "extraction"
    RETRIEVAL_AUGMENTED_GENERATION = "retrieval_augmented_generation"


_SUM = LLMTaskType.SUMMARIZATION.value
_GEN = LLMTaskType.GENERATION.value
_QA = LLMTaskType.QUESTION_ANSWERING.value
_EXT = LLMTaskType.EXTRACTION.value
_RAG = LLMTaskType.RETRIEVAL_AUGMENTED_GENERATION.value
_ALL = (_SUM, _GEN, _QA, _EXT, _RAG)


class LLMSubMetrics(Enum):
    """Parts of metric groups, and auxiliary scores outside any group."""

    _value_: str
    supported_tasks: list[str]
    is_reference_free: bool
    metrics_group: str | None

    def __new__(
        cls,
        metric_id: str,
        supported_tasks: tuple[str, ...],
        is_reference_free: bool,
        metrics_group: str | None,
    ) -> LLMSubMetrics:
        member = object.__new__(cls)
        member._value_ = metric_id
        member.supported_tasks = list(supported_tasks)
        member.is_reference_free = is_reference_free
        member.metrics_group = metrics_group
        return member

    # ROUGE: n-gram and longest-common-subsequence overlap with the reference.
    ROUGE1 = ("rouge1", _ALL, False, "rouge_score")
    ROUGE2 = ("rouge2", _ALL, False, "rouge_score")
    ROUGEL = ("rougeL", _ALL, False, "rouge_score")
    ROUGELSUM = ("rougeLsum", _ALL, False, "rouge_score")
    # Readability formulas over sentence, word and syllable counts.
    FLESCH_READING_EASE = ("flesch_reading_ease", (_SUM, _GEN), True, "readability")
    FLESCH_KINCAID_GRADE = ("flesch_kincaid_grade", (_SUM, _GEN), True, "readability")
    # Retrieval quality of the contexts of a RAG answer; not part of a group.
    AVERAGE_PRECISION = ("average_precision", (_RAG,), True, None)
    RECIPROCAL_RANK = ("reciprocal_rank", (_RAG,), True, None)


class LLMMetricType(Enum):
    """Metrics that can be named in a configuration."""

    _value_: str
    supported_tasks: list[str]
    is_reference_free: bool

    def __new__(
        cls,
        metric_id: str,
        supported_tasks: tuple[str, ...],
        is_reference_free: bool,
    ) -> LLMMetricType:
        member = object.__new__(cls)
        member._value_ = metric_id
        member.supported_tasks = list(supported_tasks)
        member.is_reference_free = is_reference_free
        return member

    @property
    def sub_metrics(self) -> list[LLMSubMetrics] | None:
        """The members of this group, or None when the metric is no group."""
        members = [m for m in LLMSubMetrics if m.metrics_group == self.value]
        return members or None

    # Reference-based.
    EXACT_MATCH = ("exact_match", (_QA, _EXT, _RAG), False)
    BLEU = ("bleu", (_SUM, _GEN, _QA, _RAG), False)
    SACREBLEU = ("sacrebleu", (_SUM, _GEN), False)
    ROUGE_SCORE = ("rouge_score", _ALL, False)
    METEOR = ("meteor", (_SUM, _GEN, _QA), False)
    SARI = ("sari", (_SUM, _GEN), False)
    BLEURT_SCORE = ("bleurt_score", (_SUM, _GEN, _QA), False)
    WIKI_SPLIT = ("wiki_split", (_SUM, _GEN), False)
    NORMALIZED_PRECISION = ("normalized_precision", _ALL, False)
    NORMALIZED_RECALL = ("normalized_recall", _ALL, False)
    NORMALIZED_F1_SCORE = ("normalized_f1_score", _ALL, False)
    # Reference-free.
    FAITHFULNESS = ("faithfulness", (_SUM, _QA, _RAG), True)
    ANSWER_RELEVANCE = ("answer_relevance", (_QA, _RAG), True)
    CONTEXT_RELEVANCE = ("context_relevance", (_RAG,), True)
    HAP_SCORE = ("hap_score", _ALL, True)
    PII_DETECTION = ("pii_detection", _ALL, True)
    READABILITY = ("readability", (_SUM, _GEN), True)


def metric_ids() -> list[str]:
    """Ids of all metrics and sub-metrics, sorted."""
    return sorted([m.value for m in LLMMetricType] + [m.value for m in LLMSubMetrics])


def find_metric(metric_id: str) -> LLMMetricType | LLMSubMetrics:
    """The member whose id is ``metric_id``; ``ValueError`` if there is none."""
    members: list[LLMMetricType | LLMSubMetrics] = [*LLMMetricType, *LLMSubMetrics]
    for member in members:
        if member.value == metric_id:
            return member
    raise ValueError(f"unknown metric id {metric_id!r}")
