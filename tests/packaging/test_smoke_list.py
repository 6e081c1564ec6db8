"""The smoke subset (tests/packaging/smoke.txt) names tests that exist, and
a differential test of every public method of the class."""

from __future__ import annotations

import ast
from pathlib import Path


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


def test_every_method_is_compared_with_the_python_body() -> None:
    # One test, parametrized by the oracle's methods, runs each method's valid
    # call in both implementations: a new method needs no line here.
    entry = "tests/robustness/test_arguments_generated.py::test_valid_call_behaves_as_the_python_body"
    assert entry in _entries(), f"{SMOKE.relative_to(ROOT)}: add the line\n{entry}"
