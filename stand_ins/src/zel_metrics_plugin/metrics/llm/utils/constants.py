"""Older metric constants, grouped by the kind of text task.

Configurations written before :mod:`..config.entities` existed name their
metric groups with :class:`LLMTextMetricGroup` and their metrics with the
per-task enumerations below, e.g.::

    {"configuration": {
        LLMTextMetricGroup.SUMMARIZATION.value: {
            LLMSummarizationMetrics.ROUGE_SCORE.value: {"use_stemmer": True},
            HAP_SCORE: {},
        }
    }}

Every ``value`` here is an id of the current catalogue, so both kinds of
configuration name the same metrics.
"""

from __future__ import annotations

from enum import Enum

from ..config.entities import LLMMetricType, LLMTaskType

__all__ = [
    "HAP_SCORE",
    "PII_DETECTION",
    "LLMExtractionMetrics",
    "LLMGenerationMetrics",
    "LLMQAMetrics",
    "LLMRAGMetrics",
    "LLMSummarizationMetrics",
    "LLMTextMetricGroup",
]

#: Hate, abuse and profanity score; applies to every task, hence no enumeration.
HAP_SCORE = LLMMetricType.HAP_SCORE.value
#: Detection of personal information; applies to every task as well.
PII_DETECTION = LLMMetricType.PII_DETECTION.value


class LLMTextMetricGroup(Enum):
    """Metric groups of a configuration, one per task type."""

    SUMMARIZATION = LLMTaskType.SUMMARIZATION.value
    GENERATION = LLMTaskType.GENERATION.value
    EXTRACTION = LLMTaskType.EXTRACTION.value
    QA = LLMTaskType.QUESTION_ANSWERING.value
    RAG = LLMTaskType.RETRIEVAL_AUGMENTED_GENERATION.value


class LLMSummarizationMetrics(Enum):
    """Metrics for summaries (faithfulness and relevance judge the summary
    against its source text)."""

    ROUGE_SCORE = LLMMetricType.ROUGE_SCORE.value
    SARI = LLMMetricType.SARI.value
    BLEURT_SCORE = LLMMetricType.BLEURT_SCORE.value
    SACREBLEU = LLMMetricType.SACREBLEU.value
    WIKI_SPLIT = LLMMetricType.WIKI_SPLIT.value
    METEOR = LLMMetricType.METEOR.value
    NORMALIZED_RECALL = LLMMetricType.NORMALIZED_RECALL.value
    NORMALIZED_PRECISION = LLMMetricType.NORMALIZED_PRECISION.value
    NORMALIZED_F1_SCORE = LLMMetricType.NORMALIZED_F1_SCORE.value
    FAITHFULNESS = LLMMetricType.FAITHFULNESS.value
    ANSWER_RELEVANCE = LLMMetricType.ANSWER_RELEVANCE.value


class LLMGenerationMetrics(Enum):
    """Metrics for free text generation."""

    ROUGE_SCORE = LLMMetricType.ROUGE_SCORE.value
    BLEU = LLMMetricType.BLEU.value
    SACREBLEU = LLMMetricType.SACREBLEU.value
    SARI = LLMMetricType.SARI.value
    METEOR = LLMMetricType.METEOR.value
    BLEURT_SCORE = LLMMetricType.BLEURT_SCORE.value
    NORMALIZED_RECALL = LLMMetricType.NORMALIZED_RECALL.value
    NORMALIZED_PRECISION = LLMMetricType.NORMALIZED_PRECISION.value
    NORMALIZED_F1_SCORE = LLMMetricType.NORMALIZED_F1_SCORE.value


class LLMExtractionMetrics(Enum):
    """Metrics for extracting values from text."""

    EXACT_MATCH = LLMMetricType.EXACT_MATCH.value
    ROUGE_SCORE = LLMMetricType.ROUGE_SCORE.value
    NORMALIZED_RECALL = LLMMetricType.NORMALIZED_RECALL.value
    NORMALIZED_PRECISION = LLMMetricType.NORMALIZED_PRECISION.value
    NORMALIZED_F1_SCORE = LLMMetricType.NORMALIZED_F1_SCORE.value


class LLMQAMetrics(Enum):
    """Metrics for question answering."""

    EXACT_MATCH = LLMMetricType.EXACT_MATCH.value
    ROUGE_SCORE = LLMMetricType.ROUGE_SCORE.value
    BLEU = LLMMetricType.BLEU.value
    METEOR = LLMMetricType.METEOR.value
    BLEURT_SCORE = LLMMetricType.BLEURT_SCORE.value
    NORMALIZED_RECALL = LLMMetricType.NORMALIZED_RECALL.value
    NORMALIZED_PRECISION = LLMMetricType.NORMALIZED_PRECISION.value
    NORMALIZED_F1_SCORE = LLMMetricType.NORMALIZED_F1_SCORE.value
    FAITHFULNESS = LLMMetricType.FAITHFULNESS.value
    ANSWER_RELEVANCE = LLMMetricType.ANSWER_RELEVANCE.value


class LLMRAGMetrics(Enum):
    """Metrics for retrieval-augmented generation."""

    ROUGE_SCORE = LLMMetricType.ROUGE_SCORE.value
    EXACT_MATCH = LLMMetricType.EXACT_MATCH.value
    BLEU = LLMMetricType.BLEU.value
    FAITHFULNESS = LLMMetricType.FAITHFULNESS.value
    ANSWER_RELEVANCE = LLMMetricType.ANSWER_RELEVANCE.value
    CONTEXT_RELEVANCE = LLMMetricType.CONTEXT_RELEVANCE.value
