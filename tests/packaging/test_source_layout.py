"""Rules of the layout of src/: nothing in core/ includes a file outside it,
and no hand-written function is over 50 lines."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[2] / "src" / "llm_metrics"
HAND_WRITTEN = sorted(p for p in SRC.rglob("*.[ch]pp") if "generated" not in p.parts)
# A function's first line: a return type, a name and "(" (not a statement, nor a declaration).
SIGNATURE = re.compile(r"^( *)(?!(?:if|for|while|switch|return|else|namespace|struct|class|enum)\b)"
                       r"[A-Za-z_][\w:<>*&, ]* \**&?[\w:~]+\(")


def long_functions(lines: list[str], limit: int = 50) -> list[tuple[int, int]]:
    """(first line, length) of each function over `limit` lines, signature to closing brace."""
    found = []
    for i, line in enumerate(lines):
        m = SIGNATURE.match(line)
        if not m or line.rstrip().endswith(";"):
            continue
        opening = next((j for j in range(i, min(i + 5, len(lines))) if lines[j].rstrip().endswith(("{", ";", "}"))),
                       None)
        if opening is None or not lines[opening].rstrip().endswith("{"):
            continue
        closing = next((k for k in range(opening + 1, len(lines)) if lines[k] == m.group(1) + "}"), None)
        if closing is not None and closing - i + 1 > limit:
            found.append((i + 1, closing - i + 1))
    return found


def test_the_length_rule_sees_a_long_function() -> None:
    body = ["int f(int a,", "      int b) {", *["    a += b;"] * 48, "    return a;", "}"]
    assert long_functions(body) == [(1, 52)] and long_functions(body[:40] + body[-2:]) == []


@pytest.mark.parametrize("path", HAND_WRITTEN, ids=lambda p: str(p.relative_to(SRC)))
def test_no_function_is_over_50_lines(path: Path) -> None:
    found = long_functions(path.read_text(encoding="utf-8").splitlines())
    assert not found, [f"{path.relative_to(SRC)}:{line}: {n} lines; split it along its branches" for line, n in found]


def test_nothing_in_core_includes_a_file_outside_it() -> None:
    outside = [f"{p.relative_to(SRC)}: {header}" for p in SRC.joinpath("core").rglob("*.[ch]pp")
               for header in re.findall(r'^#include "([^"]+)"', p.read_text(encoding="utf-8"), re.MULTILINE)
               if not header.startswith("core/")]
    assert not outside
