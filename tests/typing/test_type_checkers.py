"""What users' type checkers and editors see: the stub's docstrings equal the
module's, correct uses pass, and planted mistakes are each reported at their
line by mypy and by basedpyright."""

from __future__ import annotations

import ast
import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from llm_metrics_testing import EMULATED, MODULE_NAME

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
STUB = ROOT / "src" / "llm_metrics" / "llm_metrics.pyi"
GOOD = HERE / "good_usage.py"
MISTAKES = HERE / "planted_mistakes.py"
MARK = re.compile(r"\S  # mistake: ")


def marked_lines(path: Path) -> set[int]:
    lines = path.read_text(encoding="utf-8").splitlines()
    return {n for n, line in enumerate(lines, 1) if MARK.search(line)}


def stub_classes() -> dict[str, ast.ClassDef]:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def test_stub_docstrings_are_the_modules(llm_metrics) -> None:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    assert ast.get_docstring(tree, clean=False) == llm_metrics.__doc__
    cls = stub_classes()["LLMMetrics"]
    assert ast.get_docstring(cls, clean=False) == llm_metrics.LLMMetrics.__doc__
    methods = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
    runtime = {name for name in vars(llm_metrics.LLMMetrics) if not name.startswith("_") or name == "__init__"}
    assert set(methods) == runtime
    for name, node in methods.items():
        # Exact text, indentation included: editors show it as __doc__ is shown.
        assert ast.get_docstring(node, clean=False) == getattr(llm_metrics.LLMMetrics, name).__doc__, name
    assert methods["compute_metrics"].body and ast.get_docstring(methods["compute_metrics"])


def test_stub_only_names_are_marked_for_type_checking(llm_metrics) -> None:
    # Names that exist only for type checkers must say so, or stubtest and
    # users' imports at run time would look for them in the module.
    for name, node in stub_classes().items():
        decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
        assert hasattr(llm_metrics, name) or "type_check_only" in decorators, name
    assert not hasattr(llm_metrics, "CustomEvaluator")


def test_evaluator_keywords_are_the_ones_the_stub_names(llm_metrics, client) -> None:
    pytest.importorskip("zel_metrics_plugin")
    import pandas as pd

    node = stub_classes()["ManagerKeywords"]
    named = {item.target.id: ast.unparse(item.annotation) for item in node.body
             if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)}
    received: list[dict[str, object]] = []

    def evaluator(sources, predictions, references, **kwargs):
        received.append(kwargs)
        return {}

    frame = pd.DataFrame({"text": ["a b c"]})
    client.llm_metrics.compute_metrics({"configuration": {"generation": {"rouge1": {}}}}, None, frame, frame,
                                       custom_evaluators=[evaluator])
    (kwargs,) = received
    assert set(kwargs) == set(named)
    simple = {"bool": bool, "str": str, "str | None": (str, type(None))}
    for name, annotation in named.items():
        if annotation in simple:
            assert isinstance(kwargs[name], simple[annotation]), (name, kwargs[name])
    assert kwargs["authenticator"] is client.authenticator


def test_planted_mistakes_are_one_per_marked_line() -> None:
    marked = marked_lines(MISTAKES)
    assert len(marked) >= 15 and not marked_lines(GOOD)


# --------------------------------------------------------------- checkers
# Each checker runs on both files at once and yields the lines it reported
# errors on, per file, and its output for the failure message.

Report = tuple[dict[str, set[int]], str]


def checker_env() -> dict[str, str]:
    # The checkers only read the stub; under the sanitizer run they must not
    # inherit its preloaded runtime.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    env["NO_COLOR"] = "1"
    return env


# A checker under emulation runs about 40 times slower; mypy's first run on
# 3.15 there took longer than ten minutes.
CHECKER_TIMEOUT = 3600 if EMULATED else 600


def run(args: list[str]) -> str:
    result = subprocess.run(args, capture_output=True, text=True, timeout=CHECKER_TIMEOUT, cwd=HERE, env=checker_env())
    # Both exit with 1 when they report errors; anything else is a failure to run.
    assert result.returncode in (0, 1), result.stdout[-4000:] + result.stderr[-4000:]
    return result.stdout


def run_mypy(cache: Path) -> Report:
    out = run([sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
               "--python-executable", sys.executable, "--cache-dir", str(cache),
               "--no-error-summary", "--show-error-codes", "--no-pretty", str(GOOD), str(MISTAKES)])
    found: dict[str, set[int]] = {GOOD.name: set(), MISTAKES.name: set()}
    for line in out.splitlines():
        match = re.match(r"(.+?):(\d+): error: ", line)
        if match:
            found.setdefault(Path(match[1]).name, set()).add(int(match[2]))
    return found, out


def run_basedpyright(cache: Path) -> Report:
    out = run([sys.executable, "-m", "basedpyright", "--outputjson", "--project", str(HERE / "pyrightconfig.json"),
               "--pythonpath", sys.executable, str(GOOD), str(MISTAKES)])
    found: dict[str, set[int]] = {GOOD.name: set(), MISTAKES.name: set()}
    messages = []
    for diagnostic in json.loads(out)["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            line = diagnostic["range"]["start"]["line"] + 1
            found.setdefault(Path(diagnostic["file"]).name, set()).add(line)
            messages.append(f"{Path(diagnostic['file']).name}:{line}: {diagnostic['message'].splitlines()[0]}")
    return found, "\n".join(messages)


CHECKERS = {"mypy": run_mypy, "basedpyright": run_basedpyright}


@pytest.mark.no_refleak
@pytest.mark.parametrize("checker", sorted(CHECKERS))
def test_checker_passes_correct_uses_and_reports_every_mistake(checker: str, request, tmp_path: Path) -> None:
    if importlib.util.find_spec(checker) is None:
        pytest.skip(f"{checker} is not installed in this environment")
    if importlib.util.find_spec(MODULE_NAME) is None:
        pytest.skip("the compiled module is not installed")
    try:
        cache = request.config.cache.mkdir(f"typing-{checker}")
    except AttributeError:  # run without pytest's cache
        cache = tmp_path
    found, output = CHECKERS[checker](cache)
    assert set(found) == {GOOD.name, MISTAKES.name}, output
    assert found[GOOD.name] == set(), output
    expected = marked_lines(MISTAKES)
    assert sorted(expected - found[MISTAKES.name]) == [], "mistakes not reported:\n" + output
    assert sorted(found[MISTAKES.name] - expected) == [], "errors on unmarked lines:\n" + output
