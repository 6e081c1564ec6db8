"""Record- and corpus-level text similarity scores.

ROUGE and BLEU come from the libraries everyone compares against, so that
the numbers agree with theirs: ROUGE from ``rouge-score`` (its tokenizer, and
its Porter stemmer for ``use_stemmer``), BLEU from ``sacrebleu``.  Both are
imported on first use, so importing the plugin stays light.

The other scores are small enough to compute here: exact match, token
overlap (precision, recall, F1) and token support.  They lower-case the text
and treat punctuation as a separator.

All scores are floats in [0, 1] (sacrebleu's 0-100 scale is divided by 100),
or None where a score is undefined (see :func:`token_support`).
"""

from __future__ import annotations

import re
import threading
from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

__all__ = [
    "ROUGE_TYPES",
    "BleuScores",
    "bleu_scores",
    "exact_match",
    "overlap_scores",
    "rouge_scores",
    "token_support",
]

ROUGE_TYPES = ("rouge1", "rouge2", "rougeL", "rougeLsum")

_PUNCT_RE = re.compile(r"[^\w\s]|_")
_SPACE_RE = re.compile(r"\s+")

Tick = Callable[[], None]


def _no_tick() -> None:
    return None


def _normalized_tokens(text: str) -> list[str]:
    return _PUNCT_RE.sub(" ", text.lower()).split()


# ------------------------------------------------------------ own scores


def exact_match(
    prediction: str,
    reference: str,
    ignore_case: bool = True,
    ignore_punctuation: bool = True,
) -> float:
    """1.0 when both texts are equal after normalisation, else 0.0.

    Surrounding and repeated whitespace never matters; case and punctuation
    are ignored unless switched off.
    """

    def norm(text: str) -> str:
        if ignore_case:
            text = text.lower()
        if ignore_punctuation:
            text = _PUNCT_RE.sub(" ", text)
        return _SPACE_RE.sub(" ", text).strip()

    return 1.0 if norm(prediction) == norm(reference) else 0.0


def overlap_scores(prediction: str, reference: str) -> tuple[float, float, float]:
    """Token overlap (precision, recall, F1) after lower-casing and removing
    punctuation. Two empty texts agree fully; one empty text scores 0."""
    pred = _normalized_tokens(prediction)
    ref = _normalized_tokens(reference)
    if not pred or not ref:
        same = float(not pred and not ref)
        return same, same, same
    common = sum((Counter(pred) & Counter(ref)).values())
    if common == 0:
        return 0.0, 0.0, 0.0
    precision = common / len(pred)
    recall = common / len(ref)
    return precision, recall, 2 * precision * recall / (precision + recall)


def token_support(prediction: str, source: str) -> float | None:
    """Share of the prediction's tokens that occur in the source text.

    A cheap proxy for faithfulness: 1.0 means every word of the prediction
    appears in the source, lower values mean words the source does not
    support. Undefined (None) for a prediction without tokens.
    """
    pred = _normalized_tokens(prediction)
    if not pred:
        return None
    source_tokens = set(_normalized_tokens(source))
    return sum(1 for t in pred if t in source_tokens) / len(pred)


# ----------------------------------------------------- library-backed scores

def _missing(metric: str, package: str) -> str:
    return f"{metric} is computed with the {package} package, which is not installed: pip install {package}"


# Scorers are kept per configuration: building them is not free, and the
# libraries cache tokenisations per scorer object, so fresh objects for every
# call would only grow those caches.
_scorers: dict[tuple[Any, ...], Any] = {}
_scorers_lock = threading.Lock()


def _scorer(key: tuple[Any, ...], make: Callable[[], Any]) -> Any:
    with _scorers_lock:
        scorer = _scorers.get(key)
        if scorer is None:
            scorer = _scorers[key] = make()
        return scorer


def rouge_scores(
    predictions: Sequence[str],
    references: Sequence[str],
    rouge_types: Sequence[str] = ROUGE_TYPES,
    use_stemmer: bool = False,
    tick: Tick = _no_tick,
) -> dict[str, list[float]]:
    """ROUGE F-measures per record, from ``rouge-score``.

    :param rouge_types: any of "rouge1", "rouge2", "rougeL" and "rougeLsum"
        (summary-level LCS over the lines of the texts).
    :param use_stemmer: apply rouge-score's Porter stemmer to the tokens.
    :param tick: called once per record, for progress display.
    :return: rouge type -> one F-measure per record.
    """
    unknown = [t for t in rouge_types if t not in ROUGE_TYPES]
    if unknown:
        raise ValueError(f"unknown ROUGE type(s) {unknown!r}; known: {', '.join(ROUGE_TYPES)}")
    try:
        from rouge_score import rouge_scorer  # type: ignore[import-untyped]
    except ImportError as error:
        raise ImportError(_missing("ROUGE", "rouge-score")) from error

    types = tuple(rouge_types)
    scorer = _scorer(
        ("rouge", types, use_stemmer),
        lambda: rouge_scorer.RougeScorer(list(types), use_stemmer=use_stemmer),
    )
    out: dict[str, list[float]] = {t: [] for t in types}
    for prediction, reference in zip(predictions, references, strict=True):
        # rouge-score takes the reference (target) first.
        scores = scorer.score(reference, prediction)
        for t in types:
            out[t].append(float(scores[t].fmeasure))
        tick()
    return out


@dataclass(frozen=True)
class BleuScores:
    """BLEU of a corpus, from ``sacrebleu``, on a 0-1 scale.

    ``corpus`` is the corpus score: n-gram matches are pooled over all records
    before the precisions are taken (the number papers report).  ``records``
    are sentence-level scores, one per record (with sacrebleu's effective
    n-gram order, as its ``sentence_bleu``); their mean is not the corpus
    score.  The signatures say how each was computed.
    """

    corpus: float
    records: list[float]
    signature: str
    record_signature: str


def bleu_scores(
    predictions: Sequence[str],
    references: Sequence[str],
    *,
    lowercase: bool = False,
    tokenize: str | None = None,
    smooth_method: str = "exp",
    smooth_value: float | None = None,
    max_ngram_order: int = 4,
    tick: Tick = _no_tick,
) -> BleuScores:
    """Corpus and sentence BLEU of predictions against one reference each.

    The parameters are sacrebleu's (``BLEU(...)``); ``tokenize`` None means
    its default ("13a").  ``tick`` is called once per record.
    """
    if len(predictions) != len(references):
        raise ValueError("predictions and references must have the same length")
    try:
        from sacrebleu.metrics.bleu import BLEU
    except ImportError as error:
        raise ImportError(_missing("BLEU", "sacrebleu")) from error

    settings = (lowercase, tokenize, smooth_method, smooth_value, max_ngram_order)

    def make(effective_order: bool) -> Callable[[], Any]:
        return lambda: BLEU(
            lowercase=lowercase,
            tokenize=tokenize,
            smooth_method=smooth_method,
            smooth_value=smooth_value,
            max_ngram_order=max_ngram_order,
            effective_order=effective_order,
        )

    corpus_bleu = _scorer(("bleu", settings, False), make(False))
    sentence_bleu = _scorer(("bleu", settings, True), make(True))
    records: list[float] = []
    for prediction, reference in zip(predictions, references):
        records.append(sentence_bleu.sentence_score(prediction, [reference]).score / 100)
        tick()
    corpus = corpus_bleu.corpus_score(list(predictions), [list(references)]).score / 100
    return BleuScores(
        corpus=corpus,
        records=records,
        signature=str(corpus_bleu.get_signature()),
        record_signature=str(sentence_bleu.get_signature()),
    )
