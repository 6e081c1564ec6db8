"""The fallback to the legacy listing when the enumerations cannot be
imported, the listing itself, and the install hint when both fail."""

from __future__ import annotations

import enum
import sys
import types

import pytest

import fakes as bf

HINT = ("Unable to find metric-plugins latest version library with LLM support to list metrics. "
        "Please install it using `pip install zel-metrics-plugin`")
SEPARATOR = "        ----------        "
HEADINGS = bf.LEGACY_HEADINGS
BLOCKS = ["LLMSummarizationMetrics", "LLMGenerationMetrics", "LLMExtractionMetrics", "LLMQAMetrics"]


class Rouge(enum.Enum):
    ROUGE = "rouge"
    BLEU = "bleu"


@pytest.fixture
def obj(llm_metrics, client, monkeypatch):
    bf.install(monkeypatch, llm_metrics, None)  # the entities module is not importable
    return llm_metrics.LLMMetrics(client)


def use_constants(monkeypatch, module) -> None:
    monkeypatch.setitem(sys.modules, bf.CONSTANTS, module)


def test_legacy_listing_replaces_the_browser(obj, monkeypatch, capsys) -> None:
    use_constants(monkeypatch, bf.constants_module(
        LLMSummarizationMetrics=Rouge, LLMGenerationMetrics=["gen", 7], LLMExtractionMetrics=(),
        LLMQAMetrics=iter(["qa"])))
    assert obj.show_supported_metrics(task_type="ignored", metric_id="ignored") is None
    assert capsys.readouterr().out.splitlines() == [
        HEADINGS[0], "   Rouge.ROUGE", "   Rouge.BLEU", SEPARATOR,
        HEADINGS[1], "   gen", "   7", SEPARATOR,
        HEADINGS[2], SEPARATOR,
        HEADINGS[3], "   qa", SEPARATOR,
    ]
    assert bf.RecordingTable.calls == []


def test_empty_enumerations_print_eight_lines(obj, monkeypatch, capsys) -> None:
    use_constants(monkeypatch, bf.constants_module(**{name: [] for name in BLOCKS}))
    obj.show_supported_metrics()
    assert capsys.readouterr().out.splitlines() == [line for h in HEADINGS for line in (h, SEPARATOR)]


def test_member_formatted_as_empty_text_gives_three_blanks(llm_metrics, client, capsys) -> None:
    class Blank:
        def __format__(self, spec):
            return ""

    module = bf.constants_module(**{name: [Blank()] for name in BLOCKS})
    llm_metrics.LLMMetrics(client)._LLMMetrics__show_supported_metrics_old(metric_type_module=module)
    assert capsys.readouterr().out.splitlines()[1] == "   "


def test_failing_listing_raises_the_install_hint(obj, monkeypatch, capsys) -> None:
    use_constants(monkeypatch, bf.constants_module(LLMSummarizationMetrics=["a"], LLMGenerationMetrics=["b"]))
    with pytest.raises(Exception) as info:
        obj.show_supported_metrics()
    assert type(info.value) is Exception and info.value.args == (HINT,)
    assert info.value.__cause__ is None
    # The listing's AttributeError, raised while the import error was handled.
    listing_error = info.value.__context__
    assert isinstance(listing_error, AttributeError) and "LLMExtractionMetrics" in str(listing_error)
    assert isinstance(listing_error.__context__, ImportError)
    assert capsys.readouterr().out.splitlines() == [HEADINGS[0], "   a", SEPARATOR, HEADINGS[1], "   b", SEPARATOR]
    assert sys.exception() is None


def test_missing_constants_module_raises_the_install_hint(obj, monkeypatch, capsys) -> None:
    monkeypatch.setitem(sys.modules, bf.CONSTANTS, None)
    with pytest.raises(Exception, match="pip install zel-metrics-plugin") as info:
        obj.show_supported_metrics()
    constants_error = info.value.__context__
    assert isinstance(constants_error, ModuleNotFoundError) and bf.CONSTANTS in str(constants_error)
    entities_error = constants_error.__context__
    assert isinstance(entities_error, ModuleNotFoundError) and bf.ENTITIES in str(entities_error)
    assert capsys.readouterr().out == ""


def test_import_error_is_being_handled_while_the_listing_runs(obj, monkeypatch) -> None:
    seen = []

    class Spy:
        def __format__(self, spec):
            seen.append(sys.exception())
            return "spy"

    use_constants(monkeypatch, bf.constants_module(**{name: [Spy()] for name in BLOCKS}))
    obj.show_supported_metrics()
    assert len(seen) == 4 and isinstance(seen[0], ImportError) and bf.ENTITIES in str(seen[0])
    assert sys.exception() is None


def test_constants_module_imported_with_one_comma_separated_fromlist_name(obj, monkeypatch) -> None:
    requested = []

    class Recorder:
        def find_spec(self, name, path=None, target=None):
            requested.append(name)
            return None

    package = bf.constants_module(**{name: [] for name in BLOCKS})
    package.__path__ = []  # a package: unknown fromlist names are tried as submodules
    use_constants(monkeypatch, package)
    monkeypatch.setattr(sys, "meta_path", [Recorder(), *sys.meta_path])
    del package.LLMQAMetrics
    with pytest.raises(Exception, match="pip install"):
        obj.show_supported_metrics()
    assert requested == [bf.CONSTANTS + ".LLMSummarizationMetrics,LLMGenerationMetrics, LLMExtractionMetrics, "
                         "LLMQAMetrics"]


def test_subclass_listing_is_used(llm_metrics, client, monkeypatch) -> None:
    calls = []

    class Custom(llm_metrics.LLMMetrics):
        def _LLMMetrics__show_supported_metrics_old(self, metric_type_module):
            calls.append(metric_type_module)
            return "ignored"

    module = bf.constants_module()
    bf.install(monkeypatch, llm_metrics, None)
    use_constants(monkeypatch, module)
    assert Custom(client).show_supported_metrics() is None
    assert calls == [module]


class Interrupting:
    def __getattr__(self, name):
        raise KeyboardInterrupt


def test_non_exception_from_the_entities_import_passes_through(obj, monkeypatch, capsys) -> None:
    monkeypatch.setitem(sys.modules, bf.ENTITIES, Interrupting())
    with pytest.raises(KeyboardInterrupt):
        obj.show_supported_metrics()
    assert capsys.readouterr().out == ""


def test_non_exception_from_the_listing_passes_through(obj, monkeypatch) -> None:
    use_constants(monkeypatch, Interrupting())
    with pytest.raises(KeyboardInterrupt) as info:
        obj.show_supported_metrics()
    assert isinstance(info.value.__context__, ImportError)
    assert sys.exception() is None


def test_callers_handled_exception_is_restored(obj, monkeypatch) -> None:
    use_constants(monkeypatch, bf.constants_module(**{name: [] for name in BLOCKS}))
    try:
        raise LookupError("outer")
    except LookupError as outer:
        obj.show_supported_metrics()
        assert sys.exception() is outer
        monkeypatch.setitem(sys.modules, bf.CONSTANTS, None)
        with pytest.raises(Exception, match="pip install"):
            obj.show_supported_metrics()
        assert sys.exception() is outer
