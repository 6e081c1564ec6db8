"""Import-time behaviour of the module; process-wide, so run in subprocesses."""

from __future__ import annotations

import pytest

from llm_metrics_testing import MODULE_NAME, oracle, run_python

pytestmark = pytest.mark.no_refleak


def check(code: str) -> str:
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_module_attributes_and_globals_in_order() -> None:
    out = check(
        f"""
        import builtins, sys, warnings
        import {MODULE_NAME} as m
        spec = m.__spec__
        assert m.__file__ == spec.origin and m.__loader__ is spec.loader
        assert m.__package__ == "zel_tarn_quillgate.supporting_classes.metrics"
        assert not hasattr(m, "__path__") and m.__doc__ is None
        assert m.__builtins__ is builtins
        assert sys.modules["{MODULE_NAME}"] is m
        import pandas, itertools, zel_tarn_quillgate.base_classes.tables as tables
        assert m.pd is pandas and m.chain is itertools.chain and m.warnings is warnings
        assert m.Table is tables.Table
        names = [k for k in vars(m) if not k.startswith("__") or k == "__test__"]
        print(names)
        """
    )
    assert out.strip() == str([k for k in vars(oracle) if not k.startswith("__") or k == "__test__"])


def test_import_installs_ignore_all_filter() -> None:
    out = check(
        f"""
        import warnings
        warnings.simplefilter("error")
        import {MODULE_NAME}
        action, message, category, module, lineno = warnings.filters[0]
        assert (action, category, lineno) == ("ignore", Warning, 0)
        assert message is None and module is None
        warnings.warn("silenced", UserWarning)
        print("ok")
        """
    )
    assert out.strip() == "ok"


def test_reimport_returns_the_same_module_and_class() -> None:
    check(
        f"""
        import importlib, sys
        m = importlib.import_module("{MODULE_NAME}")
        cls, shared = m.LLMMetrics, m.LLMMetrics.compute_metrics.__defaults__[3]
        del sys.modules["{MODULE_NAME}"]
        again = importlib.import_module("{MODULE_NAME}")
        assert again is m and again.LLMMetrics is cls
        assert again.LLMMetrics.compute_metrics.__defaults__[3] is shared
        assert importlib.reload(m) is m and m.LLMMetrics is cls
        """
    )


def test_failed_import_is_retried_from_the_start() -> None:
    out = check(
        f"""
        import sys, traceback
        sys.modules["zel_tarn_quillgate.base_classes.tables"] = None
        try:
            import {MODULE_NAME}
        except ImportError as exc:
            text = "".join(traceback.format_exception(exc))
            assert "init {MODULE_NAME}" in text, text
        else:
            raise AssertionError("import should fail")
        assert "{MODULE_NAME}" not in sys.modules
        del sys.modules["zel_tarn_quillgate.base_classes.tables"]
        import {MODULE_NAME} as m
        print(type(m.LLMMetrics).__name__, m.Table.__name__)
        """
    )
    assert out.split() == ["type", "Table"]


def test_missing_name_in_from_import_fails_the_import() -> None:
    out = check(
        f"""
        import zel_cloud_sdk_core.authenticators as auth
        del auth.BearerTokenAuthenticator
        try:
            import {MODULE_NAME}
        except ImportError as exc:
            print(exc)
        """
    )
    assert "cannot import name 'BearerTokenAuthenticator'" in out


def test_missing_builtin_fails_the_import_with_name_error() -> None:
    out = check(
        f"""
        import builtins
        saved = builtins.sorted
        del builtins.sorted
        try:
            import {MODULE_NAME}
        except NameError as exc:
            print(exc)
        finally:
            builtins.sorted = saved
        """
    )
    assert out.strip() == "name 'sorted' is not defined"


def test_missing_builtin_import_fails_the_import_with_name_error() -> None:
    # The builtins are fetched before anything is imported, so a missing
    # __import__ is reported like the other two, not as a KeyError of an
    # import made through it.  The module's imports are loaded beforehand:
    # an `import` statement needs __import__ itself.
    out = check(
        f"""
        import builtins, importlib
        import itertools, pandas, warnings
        import zel_cloud_sdk_core, zel_cloud_sdk_core.authenticators
        import zel_tarn_quillgate.utils.utils, zel_tarn_quillgate.base_classes.tables
        import zel_tarn_quillgate.supporting_classes.metrics.evaluators
        saved = builtins.__import__
        del builtins.__import__
        try:
            importlib.import_module("{MODULE_NAME}")
        except NameError as exc:
            outcome = str(exc)
        except BaseException as exc:
            outcome = f"{{type(exc).__name__}}: {{exc}}"
        finally:
            builtins.__import__ = saved
        print(outcome)
        """
    )
    assert out.strip() == "name '__import__' is not defined"


def test_plugin_is_not_imported_by_the_module() -> None:
    out = check(
        f"""
        import sys
        import {MODULE_NAME}
        print(any(name.startswith("zel_metrics_plugin") for name in sys.modules))
        """
    )
    assert out.strip() == "False"


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_second_interpreter_is_refused(config: str) -> None:
    out = check(
        f"""
        import _interpreters, sys
        import {MODULE_NAME} as m
        interp = _interpreters.create("{config}")
        code = "import {MODULE_NAME}"
        err = _interpreters.exec(interp, code)
        _interpreters.destroy(interp)
        print(err.type.__name__ if err else None)
        print(err.msg if err else None)
        assert sys.modules["{MODULE_NAME}"] is m and m.LLMMetrics.__name__ == "LLMMetrics"
        """
    )
    kind, message = out.strip().splitlines()
    assert kind == "ImportError"
    if config == "legacy":
        assert message == ("Interpreter change detected - this module can only be loaded "
                           "into one interpreter per process.")
