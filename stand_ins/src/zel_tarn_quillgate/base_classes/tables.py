"""Plain-text tables for printing results and catalogues."""

from __future__ import annotations

import builtins
import enum
from collections.abc import Sequence, Set
from typing import Any

from tabulate import tabulate

__all__ = ["Table"]

EMPTY_CELL = "-"


def _cell_text(cell: Any) -> Any:
    """Turn one cell into what is shown; numbers are left for alignment."""
    if cell is None:
        return EMPTY_CELL
    if isinstance(cell, enum.Enum):
        return _cell_text(cell.value)
    if isinstance(cell, (str, bool)):
        return str(cell)
    if isinstance(cell, (int, float)):
        return cell
    if isinstance(cell, Set):
        items = sorted((_item_text(x) for x in cell))
        return ", ".join(items) if items else EMPTY_CELL
    if isinstance(cell, (builtins.list, tuple)):
        return ", ".join(_item_text(x) for x in cell) if cell else EMPTY_CELL
    return str(cell)


def _item_text(item: Any) -> str:
    text = _cell_text(item)
    return text if isinstance(text, str) else str(text)


class Table:
    """A titled table of ``records`` under ``headers``.

    Every record must have one cell per header. ``None`` cells are shown as
    ``-``, lists, tuples and sets as comma-separated text, enumeration members
    as their value.
    """

    def __init__(self, headers: Sequence[Any], records: Sequence[Sequence[Any]]) -> None:
        if isinstance(headers, (str, bytes)) or not isinstance(headers, Sequence):
            raise TypeError(
                f"headers must be a list of column names, got {type(headers).__name__}"
            )
        if isinstance(records, (str, bytes)) or not isinstance(records, Sequence):
            raise TypeError(
                f"records must be a list of rows, got {type(records).__name__}"
            )
        self.headers: builtins.list[str] = [str(h) for h in headers]
        rows: builtins.list[builtins.list[Any]] = []
        for index, row in enumerate(records):
            if isinstance(row, (str, bytes)) or not isinstance(row, Sequence):
                raise TypeError(
                    f"row {index} must be a list of cells, got {type(row).__name__}"
                )
            if len(row) != len(self.headers):
                raise ValueError(
                    f"row {index} has {len(row)} cells but there are "
                    f"{len(self.headers)} headers"
                )
            rows.append(builtins.list(row))
        self.records = rows

    #: Longer cells are wrapped at word boundaries to keep tables terminal-sized.
    max_column_width = 40

    def render(self, tablefmt: str = "grid") -> str:
        """The table as text, without the title."""
        body = [[_cell_text(cell) for cell in row] for row in self.records]
        text: str = tabulate(
            body,
            headers=self.headers,
            tablefmt=tablefmt,
            disable_numparse=True,
            maxcolwidths=self.max_column_width if body else None,
        )
        return text

    def list(self, title: str | None = None, tablefmt: str = "grid") -> None:
        """Print the title (if any) and then the table to standard output."""
        if title is not None:
            print(title)
        print(self.render(tablefmt))

    def __len__(self) -> int:
        return len(self.records)

    def __str__(self) -> str:
        return self.render()
