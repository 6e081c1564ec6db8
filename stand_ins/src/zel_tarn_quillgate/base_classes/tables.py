"""Plain-text tables for printing results and catalogues.

Printed to a terminal, a table fits the terminal's width (``COLUMNS`` when
set): its cells are wrapped at spaces, then after underscores and hyphens,
and only then inside words.  Printed elsewhere (a file, a pipe, a notebook),
cells wider than :attr:`Table.max_column_width` are wrapped and the table is
as wide as that makes it.
"""

from __future__ import annotations

import builtins
import enum
import re
import shutil
import sys
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


# Pieces of a word that a line may end after: "retrieval_augmented_generation"
# -> "retrieval_", "augmented_", "generation".
_PIECE_RE = re.compile(r"[^_-]*[_-]+|[^_-]+")
# Narrowest a column is made when even its pieces do not fit.
_MIN_COLUMN_WIDTH = 4


def _pieces(word: str) -> builtins.list[str]:
    return _PIECE_RE.findall(word) or [word]


def _split_word(word: str, width: int) -> builtins.list[str]:
    """``word`` in parts of at most ``width`` characters, cut after
    underscores and hyphens where possible."""
    parts: builtins.list[str] = []
    current = ""
    for piece in _pieces(word):
        if len(current) + len(piece) <= width:
            current += piece
            continue
        if current:
            parts.append(current)
        while len(piece) > width:
            parts.append(piece[:width])
            piece = piece[width:]
        current = piece
    if current:
        parts.append(current)
    return parts


def wrap_text(text: str, width: int) -> str:
    """``text`` with line breaks so that no line is wider than ``width``.

    Lines break at spaces; a word wider than ``width`` is cut after an
    underscore or hyphen, or else inside. Existing line breaks are kept.
    """
    width = max(width, 1)
    lines: builtins.list[str] = []
    for paragraph in text.split("\n"):
        line = ""
        for word in paragraph.split():
            parts = [word] if len(word) <= width else _split_word(word, width)
            for index, part in enumerate(parts):
                joiner = " " if index == 0 and line else ""
                if line and len(line) + len(joiner) + len(part) > width:
                    lines.append(line)
                    line = part
                else:
                    line += joiner + part
        lines.append(line)
    return "\n".join(lines)


def _text_width(text: str) -> int:
    return max((len(line) for line in text.split("\n")), default=0)


def _narrowest(text: str) -> int:
    """Narrowest width at which ``text`` wraps without cutting inside a piece."""
    return max((len(p) for word in text.split() for p in _pieces(word)), default=0)


def terminal_width() -> int | None:
    """Columns of the terminal standard output is printed to, or None when
    it is not a terminal."""
    stream = sys.stdout
    try:
        if stream is None or not stream.isatty():
            return None
    except (AttributeError, ValueError):
        return None
    columns = shutil.get_terminal_size(fallback=(0, 0)).columns
    return columns if columns > 0 else None


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

    #: Longer cells are wrapped at word boundaries to keep tables readable.
    max_column_width = 40

    def render(self, tablefmt: str = "grid", width: int | None = None) -> str:
        """The table as text, without the title; no wider than ``width``
        characters when it is given (as far as the columns can narrow)."""
        body = [[_cell_text(cell) for cell in row] for row in self.records]
        if width is None:
            # All cells as text: numbers are not parsed anyway, and tabulate
            # 0.9.0 cannot wrap cells of other types.
            body = [[c if isinstance(c, str) else str(c) for c in row] for row in body]
            text: str = tabulate(
                body,
                headers=self.headers,
                tablefmt=tablefmt,
                disable_numparse=True,
                maxcolwidths=self.max_column_width if body else None,
            )
            return text
        return self._fitted(body, tablefmt, width)

    def _fitted(self, body: builtins.list[builtins.list[Any]], tablefmt: str, width: int) -> str:
        texts = [[c if isinstance(c, str) else str(c) for c in row] for row in body]
        columns = builtins.list(zip(self.headers, *texts))
        widths = [
            min(max(_text_width(c) for c in column), max(self.max_column_width, _text_width(column[0])))
            for column in columns
        ]
        floors = [max(_MIN_COLUMN_WIDTH, *(_narrowest(c) for c in column)) for column in columns]

        def render(widths: builtins.list[int]) -> str:
            headers = [wrap_text(h, w) for h, w in zip(self.headers, widths)]
            rows = [[wrap_text(c, w) for c, w in zip(row, widths)] for row in texts]
            out: str = tabulate(rows, headers=headers, tablefmt=tablefmt, disable_numparse=True)
            return out

        lines: dict[tuple[int, int], builtins.list[int]] = {}

        def heights(column: int, w: int) -> builtins.list[int]:
            """Lines of each cell of ``column`` (header first) at width ``w``."""
            if (column, w) not in lines:
                lines[column, w] = [wrap_text(c, w).count("\n") + 1 for c in columns[column]]
            return lines[column, w]

        def height(widths: builtins.list[int]) -> int:
            per_column = [heights(i, w) for i, w in enumerate(widths)]
            return sum(max(cells) for cells in zip(*per_column))

        text = render(widths)
        # Narrow one column a character at a time until the table fits: the
        # one whose narrowing adds the fewest lines (the widest of those), and
        # only down to its longest unbreakable piece while another can give.
        while _text_width(text) > width:
            shrinkable = [i for i, w in enumerate(widths) if w > floors[i]]
            if not shrinkable:
                shrinkable = [i for i, w in enumerate(widths) if w > _MIN_COLUMN_WIDTH]
                if not shrinkable:
                    break
                floors = [_MIN_COLUMN_WIDTH] * len(widths)

            def cost(i: int) -> tuple[int, int]:
                narrower = [w - (j == i) for j, w in enumerate(widths)]
                return height(narrower), -widths[i]

            widths[min(shrinkable, key=cost)] -= 1
            text = render(widths)
        return text

    def list(self, title: str | None = None, tablefmt: str = "grid") -> None:
        """Print the title (if any) and then the table to standard output;
        on a terminal the table fits its width."""
        if title is not None:
            print(title)
        print(self.render(tablefmt, terminal_width()))

    def __len__(self) -> int:
        return len(self.records)

    def __str__(self) -> str:
        return self.render()
