"""The Python-visible contract of LLMMetrics and its method functions: the
oracle's, method by method, and the stub's docstrings."""

from __future__ import annotations

import ast
import collections
import copy
import inspect
import pathlib
import pickle
import types

import pytest

from llm_metrics_testing import (METHOD_KEYS, MODULE_NAME, ORACLE_CLASS, PUBLIC_METHOD_KEYS, oracle, oracle_method,
                                 source_docstrings)


@pytest.fixture(scope="module")
def cls(llm_metrics):
    return llm_metrics.LLMMetrics


CLASS_BODY = "/*[class LLMMetrics]*/ (src/llm_metrics/llm_metrics_class.cpp)"
ORACLE_FILE = "tests/support/baseline_llm_metrics.py"


def test_class_shape(cls) -> None:
    # (A method missing on either side stops the run at its start: tests/conftest.py.)
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None and cls.__module__ == MODULE_NAME and cls.__qualname__ == "LLMMetrics"
    keys = [k for k in vars(cls) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert keys == METHOD_KEYS, f"the methods of {CLASS_BODY} are not in the class-body order of {ORACLE_FILE}"
    assert not hasattr(cls, "__validate_params")


@pytest.mark.parametrize("key", METHOD_KEYS)
def test_method_function_contract(cls, key: str) -> None:
    fn, expected = vars(cls)[key], oracle_method(key)
    name = expected.__name__
    assert getattr(cls, key) is fn
    assert fn.__name__ == name and fn.__qualname__ == expected.__qualname__ == f"LLMMetrics.{name}"
    assert fn.__module__ == MODULE_NAME and fn.__kwdefaults__ is expected.__kwdefaults__ is None
    assert str(inspect.signature(fn)) == str(inspect.signature(expected))
    assert fn.__defaults__ == expected.__defaults__
    assert list(fn.__annotations__.items()) == list(expected.__annotations__.items())
    assert repr(fn).startswith(f"<function LLMMetrics.{name} at 0x")
    if key == name:  # a private method's qualified name does not lead back to it (test_exactness)
        assert pickle.loads(pickle.dumps(fn)) is fn
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn
    assert inspect.isroutine(fn) and callable(fn)


def test_defaults_are_shared_objects(cls) -> None:
    defaults = cls.compute_metrics.__defaults__
    assert defaults[3] == [] and cls.compute_metrics.__defaults__[3] is defaults[3]


def test_docstrings_have_one_text(cls, llm_metrics) -> None:
    # A method's docstring is written once, in its block above its body
    # (tools/method_blocks.py makes the module's text and the stub's from it);
    # the oracle's source carries the same text, character for character
    # (indentation included).
    stub = ast.parse(pathlib.Path(llm_metrics.__file__).with_name("llm_metrics.pyi").read_text())
    stub_class = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "LLMMetrics")
    stub_docs = {n.name: ast.get_docstring(n, clean=False) for n in stub_class.body if isinstance(n, ast.FunctionDef)}
    assert set(stub_docs) <= {oracle_method(key).__name__ for key in METHOD_KEYS}
    for key, text in source_docstrings().items():
        name = oracle_method(key).__name__
        doc = vars(cls)[key].__doc__
        where = f"the docstring of {name} in its block (its /*[method]*/ comment in src/llm_metrics)"
        if doc != text:
            pytest.fail(f"{ORACLE_FILE}'s {name} and {where} differ: put the same text in both, as "
                        f"in the body of def {name}(...):\n        \"\"\"{text}\"\"\"" if text is not None else
                        f"{ORACLE_FILE}'s {name} has no docstring and {where} has one: write it in the oracle too")
        in_stub = stub_docs.get(name) if key in PUBLIC_METHOD_KEYS else stub_docs.get(name, text)
        assert in_stub == text, f"llm_metrics.pyi is not what the blocks make: run python3 tools/method_blocks.py"
    assert cls.__doc__ is ORACLE_CLASS.__doc__ is ast.get_docstring(stub_class) is None
    assert llm_metrics.__doc__ is ast.get_docstring(stub) is None
    # Doctest's entries: the same keys as the oracle's, each the method's own text.
    assert list(llm_metrics.__test__) == list(oracle.__test__)
    for entry in llm_metrics.__test__:
        method = entry.split(".")[1].split(" ")[0]
        assert llm_metrics.__test__[entry] is getattr(cls, method).__doc__


def test_descriptor_binding(cls, client) -> None:
    instance = cls(client)
    bound = instance.display_result
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is instance and bound.__func__ is vars(cls)["display_result"]
    assert vars(cls)["display_result"].__get__(None, cls) is vars(cls)["display_result"]
    assert str(inspect.signature(instance.compute_metrics)).startswith("(configuration: 'dict', sources")


def test_function_attributes_are_writable_like_python_functions(cls) -> None:
    fn = cls.display_result
    fn.custom_marker = 1
    assert fn.__dict__ == {"custom_marker": 1}
    del fn.custom_marker
    with pytest.raises(TypeError):
        fn.__defaults__ = [1]
    with pytest.raises(TypeError):
        fn.__name__ = 3


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda o: o.display_result(), "display_result() takes exactly 2 positional arguments (1 given)"),
        (lambda o: o.display_result(1, 2), "display_result() takes exactly 2 positional arguments (3 given)"),
        (lambda o: o.compute_metrics(), "compute_metrics() takes at least 2 positional arguments (1 given)"),
        (lambda o: o.compute_metrics({}, 1, 2, 3, 4, 5),
         "compute_metrics() takes at most 6 positional arguments (7 given)"),
        (lambda o: o.get_metrics_result({}), "get_metrics_result() takes exactly 3 positional arguments (2 given)"),
        (lambda o: o.show_supported_metrics(1, 2, 3, 4),
         "show_supported_metrics() takes at most 4 positional arguments (5 given)"),
        (lambda o: o._LLMMetrics__validate_params({}, configuration={}),
         "__validate_params() got multiple values for keyword argument 'configuration'"),
        (lambda o: o._LLMMetrics__validate_params({}, predictions=None),
         "__validate_params() takes exactly 5 positional arguments (2 given)"),
        (lambda o: o._LLMMetrics__is_key_present({}, kee=1),
         "__is_key_present() got an unexpected keyword argument 'kee'"),
        (lambda o: o.compute_metrics({}, configuration={}),
         "compute_metrics() got multiple values for keyword argument 'configuration'"),
        (lambda o: type(o).__init__(), "__init__() takes exactly 2 positional arguments (0 given)"),
        (lambda o: o.compute_metrics(None), "Argument 'configuration' has incorrect type (expected dict, got NoneType)"),
        (lambda o: o.get_metrics_result([], None),
         "Argument 'configuration' has incorrect type (expected dict, got list)"),
        (lambda o: o.compute_metrics(**{"configuration": 1}),
         "Argument 'configuration' has incorrect type (expected dict, got int)"),
    ],
)
def test_binding_errors(cls, client, call, message: str) -> None:
    with pytest.raises(TypeError) as info:
        call(cls(client))
    assert str(info.value) == message


@pytest.mark.parametrize("method", ["compute_metrics", "get_metrics_result"])
def test_dict_subclass_configuration_is_refused_with_a_note(cls, client, method: str) -> None:
    with pytest.raises(TypeError) as info:
        getattr(cls(client), method)(collections.OrderedDict(), None)
    assert str(info.value) == "Argument 'configuration' has incorrect type (expected dict, got OrderedDict)"
    (note,) = info.value.__notes__
    assert "Subclasses of built-in types are not accepted" in note


def test_keyword_names_must_be_strings(cls) -> None:
    with pytest.raises(TypeError, match="keywords must be strings"):
        cls.display_result(None, **{1: 2})


def test_subclasses_keep_their_own_construction(llm_metrics, client, monkeypatch) -> None:
    monkeypatch.setattr(llm_metrics, "validate_type", lambda *a: None)
    cls = llm_metrics.LLMMetrics
    class WithInit(cls):
        def __init__(self, ai_client, tag):
            super().__init__(ai_client)
            self.tag = tag

    class WithNew(cls):
        def __new__(klass, *args):
            instance = super().__new__(klass)
            instance.made = args
            return instance

    class Plain(cls):
        pass

    a = WithInit(client, "t")
    assert (type(a), a.tag, a.ai_client, a.is_bearer_token) == (WithInit, "t", client, True)
    b = WithNew(client)
    assert (type(b), b.made, b.ai_client) == (WithNew, (client,), client)
    c = Plain(client)
    assert type(c) is Plain and c.ai_client is client
    with pytest.raises(TypeError, match=r"__init__\(\) missing|takes exactly 2"):
        Plain()
