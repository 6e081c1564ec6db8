"""The public-API gate (tools/check_public_api.py) that ./dev test runs."""

from __future__ import annotations

import importlib.util
import shutil
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("check_public_api", ROOT / "tools" / "check_public_api.py")
assert _spec and _spec.loader
gate = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(gate)


def test_private_and_unstable_symbols_fail_unless_a_public_macro_makes_them() -> None:
    undefined = ["PyDict_New", "_Py_Dealloc", "_Py_NoneStruct", "_PyDict_GetItem_KnownHash",
                 "PyUnstable_Code_New", "memcpy", "_ZdlPv", "PyObject_GetAttr"]
    assert gate.symbol_problems(undefined) == [
        "private C API symbol PyUnstable_Code_New", "private C API symbol _PyDict_GetItem_KnownHash"]


@pytest.mark.skipif(shutil.which("c++filt") is None, reason="no c++filt to demangle with")
def test_a_function_of_the_extension_defined_nowhere_is_named() -> None:
    # The body of a method whose block declares it, forgotten: the build links, the import would fail.
    undefined = ["PyDict_New", "_ZdlPv",
                 "_ZN11llm_metrics11computation15describe_metricEPNS_14MethodFunctionERKNS0_20DescribeMetricParamsE"]
    (problem,) = gate.own_symbol_problems(undefined)
    assert problem.startswith("llm_metrics::computation::describe_metric(llm_metrics::MethodFunction*, "
                              "llm_metrics::computation::DescribeMetricParams const&) is called and defined nowhere: "
                              "write its definition (a method's body goes right below its /*[method]*/ block")


def test_internal_headers_core_builds_and_private_names_in_sources() -> None:
    source = "\n".join([
        '#include <Python.h>',
        '#include "internal/pycore_dict.h"',
        '#  include <pycore_frame.h>',
        '#include <cpython/code.h>',
        '#define Py_BUILD_CORE 1',
        'PyObject* f(PyObject* o) { return _PyObject_GetMethod(o); }  // not _Py_Dealloc',
        '/* _PyUnused */ const char* s = "_Py_in_a_string"; const char* d = R"DOC(',
        '_Py_in_a_docstring)DOC";',
        'PyObject* g() { Py_RETURN_NONE; }  int PyUnstable_x;',
    ])
    assert gate.source_problems("a.cpp", source) == [
        "a.cpp:2: includes the internal header internal/pycore_dict.h",
        "a.cpp:3: includes the internal header pycore_frame.h",
        "a.cpp:4: includes the internal header cpython/code.h",
        "a.cpp:5: defines core-only API Py_BUILD_CORE",
        "a.cpp:6: private C API name _PyObject_GetMethod",
        "a.cpp:9: private C API name PyUnstable_x",
    ]


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
def test_own_reader_of_the_symbol_table_agrees_with_nm(llm_metrics) -> None:
    so = Path(llm_metrics.__file__)
    assert sorted(gate.undefined_from_elf(so)) == sorted(gate.undefined_with_nm(so))
