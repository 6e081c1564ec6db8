"""Record- and corpus-level text similarity scores.

All functions work on plain strings and return floats in [0, 1] (None where
a score is undefined, see :func:`token_support`).

Tokenisation:

* ROUGE and the normalised overlap scores lower-case the text and keep runs
  of letters and digits (everything else separates tokens).
* BLEU keeps case (unless asked not to) and splits punctuation marks off as
  tokens of their own.
"""

from __future__ import annotations

import math
import re
from collections import Counter
from collections.abc import Sequence

__all__ = [
    "bleu",
    "exact_match",
    "light_stem",
    "overlap_scores",
    "rouge_l",
    "rouge_lsum",
    "rouge_n",
    "rouge_tokens",
    "token_support",
]

_WORD_RE = re.compile(r"[^\W_]+")
_BLEU_RE = re.compile(r"\w+|[^\w\s]")
_PUNCT_RE = re.compile(r"[^\w\s]|_")
_SPACE_RE = re.compile(r"\s+")


# ---------------------------------------------------------------- helpers


def _f_measure(overlap: float, pred_total: int, ref_total: int) -> float:
    if pred_total == 0 or ref_total == 0 or overlap == 0:
        return 0.0
    precision = overlap / pred_total
    recall = overlap / ref_total
    return 2 * precision * recall / (precision + recall)


def _ngrams(tokens: Sequence[str], n: int) -> Counter[tuple[str, ...]]:
    return Counter(tuple(tokens[i : i + n]) for i in range(len(tokens) - n + 1))


def light_stem(token: str) -> str:
    """Strip common English inflections ("cats" -> "cat", "running" -> "run").

    A light suffix stripper: plural, past-tense, gerund and adverb endings
    are removed when at least three letters remain. It is applied to both
    sides of a comparison, so only consistency matters.
    """
    if len(token) <= 3:
        return token
    if token.endswith("ies") and len(token) > 4:
        return token[:-3] + "y"
    if token.endswith("sses"):
        return token[:-2]
    for suffix in ("ing", "ed", "ly"):
        if token.endswith(suffix) and len(token) - len(suffix) >= 3:
            stem = token[: -len(suffix)]
            # "running" -> "runn" -> "run", but "falling" -> "fall".
            if suffix != "ly" and stem[-1] == stem[-2] and stem[-1] not in "aeiouylsz":
                stem = stem[:-1]
            return stem
    if token.endswith("s") and not token.endswith(("ss", "us", "is")):
        return token[:-1]
    return token


def rouge_tokens(text: str, use_stemmer: bool = False) -> list[str]:
    """Lower-cased letter/digit runs, optionally stemmed."""
    tokens = _WORD_RE.findall(text.lower())
    return [light_stem(t) for t in tokens] if use_stemmer else tokens


def _normalized_tokens(text: str) -> list[str]:
    return _PUNCT_RE.sub(" ", text.lower()).split()


# ------------------------------------------------------------------ scores


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


def rouge_n(prediction: str, reference: str, n: int, use_stemmer: bool = False) -> float:
    """ROUGE-N F-measure: clipped n-gram overlap."""
    pred = _ngrams(rouge_tokens(prediction, use_stemmer), n)
    ref = _ngrams(rouge_tokens(reference, use_stemmer), n)
    overlap = sum((pred & ref).values())
    return _f_measure(overlap, sum(pred.values()), sum(ref.values()))


def _lcs_table(a: Sequence[str], b: Sequence[str]) -> list[list[int]]:
    table = [[0] * (len(b) + 1) for _ in range(len(a) + 1)]
    for i, x in enumerate(a, 1):
        row, prev = table[i], table[i - 1]
        for j, y in enumerate(b, 1):
            row[j] = prev[j - 1] + 1 if x == y else max(prev[j], row[j - 1])
    return table


def _lcs_indices(ref: Sequence[str], pred: Sequence[str]) -> set[int]:
    """Positions in ``ref`` of one longest common subsequence with ``pred``."""
    table = _lcs_table(ref, pred)
    i, j = len(ref), len(pred)
    found: set[int] = set()
    while i > 0 and j > 0:
        if ref[i - 1] == pred[j - 1]:
            found.add(i - 1)
            i -= 1
            j -= 1
        elif table[i - 1][j] >= table[i][j - 1]:
            i -= 1
        else:
            j -= 1
    return found


def rouge_l(prediction: str, reference: str, use_stemmer: bool = False) -> float:
    """ROUGE-L F-measure: longest common subsequence of the whole texts."""
    pred = rouge_tokens(prediction, use_stemmer)
    ref = rouge_tokens(reference, use_stemmer)
    lcs = _lcs_table(ref, pred)[len(ref)][len(pred)]
    return _f_measure(lcs, len(pred), len(ref))


def rouge_lsum(prediction: str, reference: str, use_stemmer: bool = False) -> float:
    """Summary-level ROUGE-L: texts are split into sentences at line breaks.

    Each reference sentence is matched against every predicted sentence; the
    union of the LCS hits counts, clipped by how often each token occurs on
    either side.
    """

    def sentences(text: str) -> list[list[str]]:
        lines = (rouge_tokens(line, use_stemmer) for line in text.splitlines())
        return [line for line in lines if line]

    pred_sents, ref_sents = sentences(prediction), sentences(reference)
    pred_counts = Counter(t for s in pred_sents for t in s)
    ref_counts = Counter(t for s in ref_sents for t in s)
    pred_total, ref_total = sum(pred_counts.values()), sum(ref_counts.values())
    hits = 0
    for ref in ref_sents:
        union: set[int] = set()
        for pred in pred_sents:
            union |= _lcs_indices(ref, pred)
        for index in sorted(union):
            token = ref[index]
            if pred_counts[token] > 0 and ref_counts[token] > 0:
                hits += 1
                pred_counts[token] -= 1
                ref_counts[token] -= 1
    return _f_measure(hits, pred_total, ref_total)


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


def bleu(
    predictions: Sequence[str],
    references: Sequence[str],
    max_order: int = 4,
    smooth: bool = True,
    lowercase: bool = False,
) -> float:
    """Corpus BLEU of predictions against one reference each.

    Clipped n-gram precisions up to ``max_order`` are pooled over the corpus
    and combined by their geometric mean, times the brevity penalty
    ``exp(1 - r/c)`` when the predictions (``c`` tokens) are shorter than the
    references (``r`` tokens). With ``smooth`` every precision is computed as
    ``(matches + 1) / (candidates + 1)``, so short texts without higher-order
    n-grams do not score 0.
    """
    if len(predictions) != len(references):
        raise ValueError("predictions and references must have the same length")
    matches = [0] * max_order
    possible = [0] * max_order
    pred_len = ref_len = 0
    for prediction, reference in zip(predictions, references):
        if lowercase:
            prediction, reference = prediction.lower(), reference.lower()
        pred = _BLEU_RE.findall(prediction)
        ref = _BLEU_RE.findall(reference)
        pred_len += len(pred)
        ref_len += len(ref)
        for n in range(1, max_order + 1):
            overlap = _ngrams(pred, n) & _ngrams(ref, n)
            matches[n - 1] += sum(overlap.values())
            possible[n - 1] += max(len(pred) - n + 1, 0)
    if pred_len == 0:
        return 0.0
    if smooth:
        precisions = [(m + 1) / (p + 1) for m, p in zip(matches, possible)]
    else:
        precisions = [m / p if p else 0.0 for m, p in zip(matches, possible)]
    if min(precisions) <= 0:
        return 0.0
    geo_mean = math.exp(sum(math.log(p) for p in precisions) / max_order)
    penalty = 1.0 if pred_len >= ref_len else math.exp(1 - ref_len / pred_len)
    return geo_mean * penalty


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
