"""The Python-visible contract of LLMMetrics and its method functions."""

from __future__ import annotations

import collections
import copy
import inspect
import pickle
import types

import pytest

from llm_metrics_testing import MODULE_NAME

METHODS = [
    # class-dictionary key, __name__, signature text
    ("__init__", "__init__", "(self, ai_client: \"'TarnQuillgateV2Adapter'\") -> 'None'"),
    ("compute_metrics", "compute_metrics",
     "(self, configuration: 'dict', sources: 'pd.DataFrame' = None, predictions: 'pd.DataFrame' = None, "
     "references: 'pd.DataFrame' = None, custom_evaluators=[], **kwargs)"),
    ("get_metrics_result", "get_metrics_result", "(self, configuration: 'dict', metrics_result, **kwargs)"),
    ("_LLMMetrics__get_metrics_manager", "__get_metrics_manager", "(self, configuration, kwargs)"),
    ("_LLMMetrics__show_supported_metrics_old", "__show_supported_metrics_old", "(self, metric_type_module)"),
    ("show_supported_metrics", "show_supported_metrics",
     "(self, task_type=None, metric_id=None, metric_group=None)"),
    ("_LLMMetrics__validate_params", "__validate_params",
     "(self, configuration, sources, predictions, references)"),
    ("display_result", "display_result", "(self, results)"),
    ("_LLMMetrics__is_key_present", "__is_key_present", "(self, config, key)"),
]


@pytest.fixture(scope="module")
def cls(llm_metrics):
    return llm_metrics.LLMMetrics


def test_class_shape(cls) -> None:
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None and cls.__module__ == MODULE_NAME and cls.__qualname__ == "LLMMetrics"
    keys = [k for k in vars(cls) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert keys == [key for key, _, _ in METHODS]
    assert not hasattr(cls, "__validate_params")


@pytest.mark.parametrize(("key", "name", "signature"), METHODS)
def test_method_function_contract(cls, key: str, name: str, signature: str) -> None:
    fn = vars(cls)[key]
    assert getattr(cls, key) is fn
    assert fn.__name__ == name and fn.__qualname__ == f"LLMMetrics.{name}"
    assert fn.__module__ == MODULE_NAME and fn.__kwdefaults__ is None
    assert str(inspect.signature(fn)) == signature
    assert repr(fn).startswith(f"<function LLMMetrics.{name} at 0x")
    if key == name:  # a private method's qualified name does not lead back to it (test_exactness)
        assert pickle.loads(pickle.dumps(fn)) is fn
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn
    assert inspect.isroutine(fn) and callable(fn)


def test_defaults_and_annotations(cls) -> None:
    defaults = cls.compute_metrics.__defaults__
    assert defaults[:3] == (None, None, None) and defaults[3] == [] and len(defaults) == 4
    assert cls.compute_metrics.__defaults__[3] is defaults[3]
    assert cls.show_supported_metrics.__defaults__ == (None, None, None)
    assert cls.display_result.__defaults__ is None
    assert cls.__init__.__annotations__ == {"ai_client": "'TarnQuillgateV2Adapter'", "return": "None"}
    assert list(cls.compute_metrics.__annotations__.items()) == [
        ("configuration", "dict"), ("sources", "pd.DataFrame"),
        ("predictions", "pd.DataFrame"), ("references", "pd.DataFrame")]
    assert cls.get_metrics_result.__annotations__ == {"configuration": "dict"}
    assert cls.display_result.__annotations__ == {}


def test_docstrings(cls, llm_metrics) -> None:
    for fn, first, indent, tail in [
        (cls.compute_metrics, "Compute LLM based metrics based on the configuration.", 8, "\n" + " " * 8),
        (cls.get_metrics_result,
         "Get the result of metrics which are run on the server. Used for faithfulness metric.", 8, "\n" + " " * 8),
        (cls.show_supported_metrics,
         "Displays information about supported metrics and task types based on the provided parameters.",
         16, "\n" + " " * 12),
        (cls._LLMMetrics__is_key_present, "Recursively checks if the given key exists in the config_json.", 8,
         "\n" + " " * 8),
    ]:
        doc = fn.__doc__
        assert doc.startswith("\n" + " " * indent + first + "\n") and doc.endswith(tail)
        assert not doc.endswith(tail + " ")
    for fn in (cls.__init__, cls.display_result, cls._LLMMetrics__validate_params):
        assert fn.__doc__ is None
    assert cls.compute_metrics.__doc__.splitlines()[-2] == (
        " " * 12 + "client.llm_metrics.compute_metrics(configuration, sources, predictions, references, "
        "custom_evaluators=custom_evaluators)")
    assert cls._LLMMetrics__is_key_present.__doc__.splitlines()[2:] == [
        "        :param config: input config_json.", "        :param key: Key to find.",
        "        :return: True if key exists, otherwise False.", "        "]
    calls = [line for line in cls.show_supported_metrics.__doc__.splitlines() if "\u2192" in line]
    assert [line.split(" \u2192 ")[0].strip() for line in calls] == [
        '1. Show_supported_metrics()',
        '2. Show_supported_metrics(task_type="generation")',
        '3. Show_supported_metrics(metric_id="bleu")',
        '4. Show_supported_metrics(metric_group="rouge_score")',
        '5. Show_supported_metrics(task_type="generation", metric_id="bleu")',
        '6. Show_supported_metrics(metric_group="rouge_score", metric_id="rouge1")']
    test = llm_metrics.__test__
    assert list(test) == ["LLMMetrics.compute_metrics (line 52)", "LLMMetrics.get_metrics_result (line 145)"]
    assert test["LLMMetrics.compute_metrics (line 52)"] is cls.compute_metrics.__doc__
    assert test["LLMMetrics.get_metrics_result (line 145)"] is cls.get_metrics_result.__doc__


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
