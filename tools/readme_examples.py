"""Prints the Python examples of a Markdown file as one script.

Each ```python block is either a doctest session (its `>>>` and `...` lines are
taken) or plain code (taken whole).
"""

from __future__ import annotations

import re
import sys

BLOCK = re.compile(r"^```python\n(.*?)^```", re.DOTALL | re.MULTILINE)


def examples(markdown: str) -> str:
    out: list[str] = []
    for block in BLOCK.findall(markdown):
        lines = block.splitlines()
        if any(line.startswith(">>> ") for line in lines):
            lines = [line[4:] for line in lines if line.startswith((">>> ", "... ")) or line in (">>>", "...")]
        out.extend(lines)
        out.append("")
    return "\n".join(out)


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as f:
        sys.stdout.write(examples(f.read()))
