"""tools/method_blocks.py: the files it makes from the methods' blocks are
current, and what it says when a block, the class body or a generated file
is not as it should be (on a copy of the sources)."""

from __future__ import annotations

import importlib.util
import shutil
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def load_tool():
    spec = importlib.util.spec_from_file_location("method_blocks", ROOT / "tools" / "method_blocks.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # its dataclasses look their module up
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def copy(tmp_path, monkeypatch):
    """The tool, working on a copy of src/llm_metrics."""
    tool = load_tool()
    shutil.copytree(ROOT / "src", tmp_path / "src")
    for name in ("SRC", "CLASS_FILE", "METHODS_HPP", "TABLE_INC", "NAMES_HPP", "STUB", "CONSTANTS"):
        relative = getattr(tool, name).relative_to(ROOT)
        monkeypatch.setattr(tool, name, tmp_path / relative)
    monkeypatch.setattr(tool, "ROOT", tmp_path)
    return tool, tmp_path / "src" / "llm_metrics"


def edit(path: Path, old: str, new: str) -> None:
    text = path.read_text(encoding="utf-8")
    assert old in text, (path, old)
    path.write_text(text.replace(old, new, 1), encoding="utf-8")


def test_the_generated_files_are_current(capsys) -> None:
    assert load_tool().main(["--check"]) == 0, capsys.readouterr().err


def test_a_changed_block_is_named_until_the_files_are_made_again(copy, capsys) -> None:
    tool, src = copy
    edit(src / "computation" / "key_search.cpp", "Key to find.", "The key to find.")
    edit(src / "computation" / "robustness_display.cpp", "def display_result(self, results):",
         'def display_result(self, results, heading="Results"):')
    assert tool.main(["--check"]) == 1
    err = capsys.readouterr().err
    assert "the block of __is_key_present (computation/key_search.cpp:" in err
    assert "the block of display_result (computation/robustness_display.cpp:" in err
    assert "the block of compute_metrics" not in err
    assert "generated/methods.hpp" in err and "generated/method_table.inc" in err
    assert err.count("run python3 tools/method_blocks.py") == 3  # the stub is left as it was
    assert tool.main([]) == 0 and tool.main(["--check"]) == 0
    capsys.readouterr()
    table = (src / "generated" / "method_table.inc").read_text()
    assert ".body = bind<::llm_metrics::computation::display_result>, .defaults = {Str(\"Results\")}" in table
    assert "X(heading)" in (src / "core" / "generated" / "method_names.hpp").read_text()
    assert "The key to find." in (src / "generated" / "methods.hpp").read_text()


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (("llm_metrics_class.cpp", "__init__ compute_metrics", "__init__"),
         "is not in the class body (/*[class LLMMetrics]*/ in src/llm_metrics/llm_metrics_class.cpp): add compute_metrics there"),
        (("llm_metrics_class.cpp", "__init__ compute_metrics", "__init__ describe compute_metrics"),
         "the class body (/*[class LLMMetrics]*/ in src/llm_metrics/llm_metrics_class.cpp) names describe, "
         "which has no block: write its /*[method]*/ block above its body"),
        (("computation/robustness_display.cpp", "const DisplayResultParams& p", "const ResultParams& p"),
         "its body takes `const ResultParams&`; the block declares `DisplayResultParams`"),
        (("computation/robustness_display.cpp", "def display_result(self, results):",
          "def display_result(self, results=()):"),
         "a default is None, True, False, a number, a text or [], not ()"),
        (("computation/robustness_display.cpp", "def display_result(self, results):",
          "def display_result(self, results: dict):"),
         "the annotation of results is written as a text, not dict"),
        (("core/constants.hpp", "X(BaseService)", "X(BaseService) X(results)"),
         "core/constants.hpp lists results, which the methods' blocks provide"),
    ],
)
def test_mistakes_are_named_with_their_fix(copy, capsys, change, message) -> None:
    tool, src = copy
    edit(src / change[0], change[1], change[2])
    assert tool.main(["--check"]) == 1
    assert message in capsys.readouterr().err
