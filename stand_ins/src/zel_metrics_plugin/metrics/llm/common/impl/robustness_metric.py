"""Presentation of robustness results.

Robustness is measured by perturbing the inputs of a model (an "attack")
and comparing the metrics before and after. Results are given per attack,
either as a dictionary::

    {"typos": {"rouge1": 0.81, "bleu": 0.55}, "paraphrase": {"rouge1": 0.64}}

as a list of per-attack dictionaries with an "attack" key, or as a pandas
data frame with one row per attack.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import pandas as pd
from tabulate import tabulate

__all__ = ["RobustnessMetrics"]

TITLE = "Robustness results"


def _cell(value: Any) -> Any:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.4f}"
    if isinstance(value, (list, tuple)):
        return ", ".join(str(_cell(v)) for v in value)
    return value


def _rows_from_mapping(results: Mapping[Any, Any]) -> tuple[list[str], list[list[Any]]]:
    columns: list[str] = []
    for scores in results.values():
        if isinstance(scores, Mapping):
            for key in scores:
                if str(key) not in columns:
                    columns.append(str(key))
    if not columns:
        columns = ["value"]
    rows: list[list[Any]] = []
    for attack, scores in results.items():
        if isinstance(scores, Mapping):
            by_name = {str(k): v for k, v in scores.items()}
            rows.append([attack] + [_cell(by_name.get(c)) for c in columns])
        else:
            rows.append([attack] + [_cell(scores)] + ["-"] * (len(columns) - 1))
    return ["attack", *columns], rows


class RobustnessMetrics:
    """Helpers for robustness evaluation results."""

    @classmethod
    def display_robustness_results(cls, results: Any) -> None:
        """Print ``results`` as a table, one row per attack.

        :param results: a dict of attack -> {metric: value} (or attack ->
            value), a list of dicts each holding an "attack" key, or a
            pandas DataFrame.
        :raises TypeError: for any other kind of object.
        """
        print(TITLE)
        print("=" * len(TITLE))
        if isinstance(results, pd.DataFrame):
            if results.empty:
                print("No robustness results to display.")
                return None
            # Read the frame cell by cell rather than through pandas'
            # transformations: they create derived frames and cached views
            # that outlive the call.
            columns = [str(c) for c in results.columns]
            rows = [[_cell(v) for v in row] for row in results.itertuples(index=False, name=None)]
            if not isinstance(results.index, pd.RangeIndex):
                columns.insert(0, str(results.index.name or "attack"))
                rows = [[_cell(label), *row] for label, row in zip(results.index, rows)]
            print(tabulate(rows, headers=columns, tablefmt="grid", disable_numparse=True))
            return None
        if isinstance(results, Mapping):
            mapping: Mapping[Any, Any] = results
        elif isinstance(results, Sequence) and not isinstance(results, (str, bytes)):
            mapping = {}
            for index, item in enumerate(results):
                if not isinstance(item, Mapping) or "attack" not in item:
                    raise TypeError(
                        f"robustness result {index} must be a dict with an 'attack' key"
                    )
                mapping[item["attack"]] = {k: v for k, v in item.items() if k != "attack"}
        else:
            raise TypeError(
                "robustness results must be a dict, a list of dicts or a pandas "
                f"DataFrame, got {type(results).__name__}"
            )
        if not mapping:
            print("No robustness results to display.")
            return None
        headers, rows = _rows_from_mapping(mapping)
        print(tabulate(rows, headers=headers, tablefmt="grid", disable_numparse=True))
        return None
