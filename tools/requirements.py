"""Prints requirements read from the project's pyproject files, one a line:
the one place the project's dependencies are written.

    python tools/requirements.py [--build] [--stand-ins] [EXTRA ...]

--build adds the product's build requirements, --stand-ins the dependencies
of the stand-in distribution (stand_ins/pyproject.toml); the product's own
dependencies and those of each EXTRA named are always printed.
"""

from __future__ import annotations

import sys
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def load(path: Path) -> dict:
    with path.open("rb") as f:
        return tomllib.load(f)


def requirements(args: list[str]) -> list[str]:
    product = load(ROOT / "pyproject.toml")
    reqs: list[str] = []
    if "--build" in args:
        reqs += product["build-system"]["requires"]
    reqs += product["project"]["dependencies"]
    if "--stand-ins" in args:
        reqs += load(ROOT / "stand_ins" / "pyproject.toml")["project"]["dependencies"]
    extras = product["project"]["optional-dependencies"]
    for name in (a for a in args if not a.startswith("--")):
        reqs += extras[name]
    return list(dict.fromkeys(reqs))


if __name__ == "__main__":
    print("\n".join(requirements(sys.argv[1:])))
