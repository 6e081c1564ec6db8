"""Installs the test suite's requirements for the debug interpreter of the
leak mode into a target folder (run inside the root by refleak-chroot.sh).

    python3.13-dbg debug_requirements.py TARGET

The requirements are those of the pyproject files (tools/requirements.py
--stand-ins test) with everything they depend on, resolved by pip. Packages
this interpreter already imports, in a version the pyproject files accept,
are kept: the root's own (Debian's pytest
and its plug-ins, hypothesis, tabulate) and the numpy and pandas built for it
beforehand (on PYTHONPATH). Of the rest, pure-Python packages are installed
from their wheels, and those whose wheels carry compiled code are built from
source: a release build's extension modules do not load into the debug
interpreter.
"""

from __future__ import annotations

import importlib.util
from importlib import metadata
import json
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from requirements import requirements  # noqa: E402

# Import names that differ from the distribution's name.
IMPORT_NAMES = {"python-dateutil": "dateutil", "absl-py": "absl", "rouge-score": "rouge_score", "pyyaml": "yaml"}


def importable(dist: str, wanted: list[str]) -> bool:
    """True when this interpreter imports `dist` already, in a version that
    meets what the pyproject files ask for it."""
    name = IMPORT_NAMES.get(dist.lower(), dist.lower().replace("-", "_"))
    if importlib.util.find_spec(name) is None:
        return False
    from packaging.requirements import Requirement

    for requirement in map(Requirement, wanted):
        if canonical(requirement.name) == canonical(dist):
            try:
                return requirement.specifier.contains(metadata.version(dist), prereleases=True)
            except metadata.PackageNotFoundError:
                return False
    return True


def canonical(name: str) -> str:
    return name.lower().replace("_", "-")


def main(target: str) -> int:
    pip = [sys.executable, "-m", "pip"]
    wanted = requirements(["--stand-ins", "test"])
    with tempfile.TemporaryDirectory() as tmp:
        report = Path(tmp) / "report.json"
        subprocess.run([*pip, "install", "--dry-run", "--ignore-installed", "--break-system-packages",
                        "--report", str(report), "-q", *wanted], check=True)
        resolved = json.loads(report.read_text())["install"]
    pure, compiled = [], []
    for item in resolved:
        name, version = item["metadata"]["name"], item["metadata"]["version"]
        if importable(name, wanted):
            print(f"kept from the root: {name}")
            continue
        url = item["download_info"]["url"]
        (pure if url.endswith("-none-any.whl") else compiled).append((name, version))
    pins = [f"{n}=={v}" for n, v in pure + compiled]
    print("installing:", " ".join(pins), "; built from source:", " ".join(n for n, _ in compiled))
    if pins:
        subprocess.run([*pip, "install", "--break-system-packages", "--no-deps", "--target", target,
                        *(["--no-binary", ",".join(n for n, _ in compiled)] if compiled else []), *pins],
                       check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
