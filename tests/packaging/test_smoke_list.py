"""The smoke subset (tests/packaging/smoke.txt) names tests that exist, and
a differential test of every public method of the class."""

from __future__ import annotations

import ast
from pathlib import Path

from llm_metrics_testing import PUBLIC_METHOD_KEYS

ROOT = Path(__file__).resolve().parents[2]
SMOKE = ROOT / "tests" / "packaging" / "smoke.txt"


def _entries() -> list[str]:
    """The tests named, those left out (--deselect=) included."""
    lines = SMOKE.read_text(encoding="utf-8").splitlines()
    return [line.strip().removeprefix("--deselect=") for line in lines
            if line.strip() and not line.lstrip().startswith("#")]


def test_every_entry_names_an_existing_test() -> None:
    for entry in _entries():
        assert not entry.startswith("-"), f"{entry}: only --deselect= is expected"
        path, _, name = entry.partition("::")
        assert (ROOT / path).exists(), entry
        if name:
            tree = ast.parse((ROOT / path).read_text(encoding="utf-8"))
            functions = {n.name for n in ast.walk(tree) if isinstance(n, ast.FunctionDef)}
            assert name.split("[")[0] in functions, entry


def test_every_public_method_has_a_differential_test() -> None:
    tests = " ".join(e.partition("::")[2] for e in _entries())
    # The name a method's differential tests go by, where it is not the method's own.
    called = {"show_supported_metrics": "test_browser_behaves_as_the_python_body"}
    public = [key for key in PUBLIC_METHOD_KEYS if not key.startswith("__")]
    assert public
    assert not [key for key in public if called.get(key, f"test_{key}_behaves_as_the_python_body") not in tests]
