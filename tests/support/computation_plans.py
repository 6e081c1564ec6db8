"""The worlds the generated computation tests (tests/robustness/test_computation_generated.py) and the
computation fuzz target (tests/fuzz/fuzz_computation.py) build from a plan, and a run of both implementations
in them."""

from __future__ import annotations

import collections
import types
from typing import Any

import pandas as pd

import robust_support as rs
from fakes import CLIENT_ATTRIBUTES
from robust_support import Boom, Halt, describe


PARAMETERS = ("sources", "predictions", "references")


EVALUATOR_KINDS = [
    "ret_dict", "ret_pairs", "ret_none", "ret_int", "ret_bad_pairs", "ret_result", "raise", "halt", "no_kwargs",
    "append", "remove_self", "clear", "pop", "mutate_frame", "mutate_result", "mutate_kwargs", "not_callable",
    "reenter",
]


# Evaluators after which the loop goes on.
BENIGN_EVALUATOR_KINDS = ["ret_dict", "ret_pairs", "ret_result", "append", "remove_self", "clear", "pop",
                          "mutate_frame", "mutate_result", "mutate_kwargs", "reenter"]


CONTAINER_KINDS = ["omit", "list", "tuple", "iter", "gen_fails", "none", "int", "list_subclass", "dict",
                   "string"]


COMPUTE_KINDS = ["none", "list", "update_raises", "update_records", "self_ref", "raise", "halt",
                 "missing", "not_callable"]


RESULT_KINDS = ["echo", "raise", "halt", "missing", "odd"]


SUBCLASS_KINDS = ["validate_odd", "validate_raises", "validate_narrow", "manager_none",
                  "manager_compute_int", "manager_mutates_kwargs", "no_ai_client"]


KEYWORD_NAMES = ["origin", "host", "service_url", "is_vesk", "authenticator", "is_bearer_token",
                 "service_instance_id", "extra", "x_1", "_", "kwargs", "custom"]


ODD_VALUES = [None, 0, "", "value", [1], {"k": "v"}, (), b"x", 2.5, Boom("as a value"), object, len]


class NoUpdate:
    """A result object without update()."""


class UpdateRaises(dict):
    def update(self, *args: Any, **kwargs: Any) -> None:
        raise Boom("update")


class EvaluatorList(list):
    """Not an exact list: walked through its iterator."""


class World:
    """The stand-ins of one run, built from a plan for one implementation."""

    def __init__(self, impl: str, plan: dict[str, Any]) -> None:
        self.impl = impl
        self.module = rs.IMPLEMENTATIONS[impl]
        self.plan = plan
        self.log: list[Any] = []
        self.result: Any = None
        self.container: Any = None
        self.evaluator_list: list[Any] = []
        self.obj = self._instance()

    # -- the instance --------------------------------------------------------

    def _instance(self) -> Any:
        base = self.module.LLMMetrics
        how = self.plan["subclass"]
        namespace: dict[str, Any] = {}
        log = self.log
        if how == "validate_odd":
            namespace["_LLMMetrics__validate_params"] = lambda self, *args: NotImplemented
        elif how == "validate_raises":
            namespace["_LLMMetrics__validate_params"] = rs.raiser(Boom("validate"))
        elif how == "validate_narrow":
            def _LLMMetrics__validate_params(self, configuration):  # takes too few arguments
                return None

            namespace["_LLMMetrics__validate_params"] = _LLMMetrics__validate_params
        elif how == "manager_none":
            namespace["_LLMMetrics__get_metrics_manager"] = lambda self, configuration, kwargs: None
        elif how == "manager_compute_int":
            namespace["_LLMMetrics__get_metrics_manager"] = (
                lambda self, configuration, kwargs: types.SimpleNamespace(compute=5, get_metrics_result=5))
        elif how == "manager_mutates_kwargs":
            def _LLMMetrics__get_metrics_manager(self, configuration, kwargs):
                log.append(("override sees", describe(kwargs)))
                kwargs.clear()
                kwargs["late"] = 1
                return base._LLMMetrics__get_metrics_manager(self, configuration, kwargs)

            namespace["_LLMMetrics__get_metrics_manager"] = _LLMMetrics__get_metrics_manager
        cls = type("Sub", (base,), namespace) if namespace else base
        obj = cls(rs.make_client())
        if how == "no_ai_client":
            del obj.ai_client
        else:
            obj.ai_client = self._client()
        obj.is_bearer_token = {"odd": ODD_VALUES[3]}.get(self.plan["bearer"], self.plan["bearer"])
        return obj

    def _client(self) -> Any:
        namespace: dict[str, Any] = {"label": "client"}
        broken = self.plan["client"] or (None, None)
        for name in CLIENT_ATTRIBUTES:
            if name != broken[0]:
                namespace[name] = f"{name} of the client"
            elif broken[1] == "raise":
                namespace[name] = property(rs.raiser(Boom(f"client {name}")))
        return type("FakeClient", (), namespace)()

    # -- the plugin ----------------------------------------------------------

    def manager_module(self) -> Any:
        behaviour = self.plan["manager"]
        if behaviour["module"] == "absent":
            return None
        if behaviour["module"] == "no_class":
            return rs.fake_module(rs.MANAGER)
        world = self

        class LLMMetricManager:
            def __init__(self, configuration: Any, **kwargs: Any) -> None:
                world.log.append(("init", describe(configuration), describe(kwargs)))
                if behaviour["init"] == "raise":
                    raise Boom("init")
                if behaviour["init"] == "halt":
                    raise Halt("init")
                kwargs["origin"] = "changed by the manager"  # its own copy

            def compute(self, sources: Any, predictions: Any, references: Any, **kwargs: Any) -> Any:
                world.log.append(("compute", describe((sources, predictions, references)), describe(kwargs)))
                kwargs.clear()
                how = behaviour["compute"]
                if how == "raise":
                    raise Boom("compute")
                if how == "halt":
                    raise Halt("compute")
                result: Any = {
                    "dict": lambda: {"plugin": 1, "m": 0},
                    "none": lambda: None,
                    "list": lambda: [],
                    "update_raises": lambda: UpdateRaises(plugin=1),
                    "update_records": lambda: world.recording_result(),
                    "self_ref": lambda: world.self_referencing_result(),
                }[how]()
                world.result = result
                return result

            def get_metrics_result(self, metrics_result: Any, **kwargs: Any) -> Any:
                world.log.append(("get_metrics_result", describe(metrics_result), describe(kwargs)))
                how = behaviour["result"]
                if how == "raise":
                    raise Boom("get_metrics_result")
                if how == "halt":
                    raise Halt("get_metrics_result")
                if how == "odd":
                    return NoUpdate
                return metrics_result

        if behaviour["compute"] == "missing":
            del LLMMetricManager.compute
        elif behaviour["compute"] == "not_callable":
            LLMMetricManager.compute = 5  # type: ignore[assignment, method-assign]
        if behaviour["result"] == "missing":
            del LLMMetricManager.get_metrics_result
        return rs.fake_module(rs.MANAGER, LLMMetricManager=LLMMetricManager)

    def recording_result(self) -> Any:
        world = self

        class Result:
            label = "recording result"

            def update(self, other: Any) -> None:
                world.log.append(("update", describe(other)))

        return Result()

    @staticmethod
    def self_referencing_result() -> dict[str, Any]:
        result: dict[str, Any] = {"plugin": 1}
        result["self"] = result
        return result

    def recording_validate_type(self, value: Any, name: Any, expected: Any, required: Any) -> Any:
        self.log.append(("validate_type", describe(value), name, describe(expected), required))
        return rs.real_validate_type(value, name, expected, required)

    # -- arguments -----------------------------------------------------------

    def configuration(self) -> Any:
        plan = self.plan["configuration"]
        if plan[0] == "not_dict":
            return {"none": None, "list": [], "ordered": collections.OrderedDict(a={}),
                    "subclass": rs.RecordingDict(a={}), "int": 5}[plan[1]]
        return rs.build_config(plan)

    def kwargs(self) -> dict[str, Any]:
        return {name: ODD_VALUES[index] for name, index in self.plan["kwargs"].items()}

    def frames(self) -> list[Any]:
        made = []
        for name, how in zip(PARAMETERS, self.plan["frames"]):
            if how == "frame":
                frame = pd.DataFrame({"text": ["a b", "c"]})
                frame.attrs["label"] = name
                made.append(frame)
            else:
                made.append(None if how == "none" else [name])
        return made

    def evaluator(self, index: int, kind: str) -> Any:
        world = self
        if kind == "not_callable":
            return 5
        if kind == "no_kwargs":
            def narrow(sources, predictions, references):
                return {}

            return narrow

        def evaluator(sources: Any, predictions: Any, references: Any, **kwargs: Any) -> Any:
            world.log.append(("evaluator", index, kind, describe((sources, predictions, references)),
                              describe(kwargs)))
            container = world.container
            if kind == "ret_dict":
                return {f"e{index}": index, "m": index}
            if kind == "ret_pairs":
                return [("m", -index), (f"p{index}", index)]
            if kind == "ret_none":
                return None
            if kind == "ret_int":
                return index
            if kind == "ret_bad_pairs":
                return [1, 2, 3]
            if kind == "ret_result":
                return world.result
            if kind == "raise":
                raise Boom(f"evaluator {index}")
            if kind == "halt":
                raise Halt(f"evaluator {index}")
            if kind == "append":
                if isinstance(container, list) and len(container) < 8:
                    container.append(world.evaluator(100 + index, "ret_dict"))
                elif type(container) is dict:
                    container[world.evaluator(100 + index, "ret_dict")] = None
                return {}
            if kind == "remove_self":
                if isinstance(container, list) and evaluator in container:
                    container.remove(evaluator)
                return {}
            if kind == "clear":
                if isinstance(container, (list, dict)):
                    container.clear()
                return {}
            if kind == "pop":
                if isinstance(container, list) and container:
                    container.pop()
                return {}
            if kind == "mutate_frame":
                if isinstance(sources, pd.DataFrame):
                    sources[f"added{index}"] = index
                return {"columns": len(getattr(sources, "columns", ()))}
            if kind == "mutate_result":
                if type(world.result) is dict:
                    world.result.clear()
                    world.result["replaced"] = index
                return {"after": index}
            if kind == "mutate_kwargs":
                kwargs.clear()
                return {"k": index}
            if kind == "reenter":
                return world.obj.compute_metrics({"nested": {}}, custom_evaluators=[])
            raise AssertionError(kind)

        return evaluator

    def evaluators(self) -> Any:
        kinds = self.plan["evaluators"]
        items = [self.evaluator(i, kind) for i, kind in enumerate(kinds)]
        how = self.plan["container"]
        container: Any
        if how in ("list", "iter", "gen_fails"):
            container = items
        elif how == "tuple":
            container = tuple(items)
        elif how == "list_subclass":
            container = EvaluatorList(items)
        elif how == "dict":
            container = dict.fromkeys(items)
        else:
            container = {"none": None, "int": 7, "string": "ab", "omit": None}[how]
        self.container = container
        if how == "iter":
            return iter(container)
        if how == "gen_fails":
            def walk():
                yield from container
                raise Boom("evaluator generator")

            return walk()
        return container

    # -- the calls -----------------------------------------------------------

    def compute_call(self) -> Any:
        configuration = self.configuration()
        frames = self.frames()
        kwargs = self.kwargs()
        evaluators = self.evaluators()
        obj = self.obj
        args: list[Any] = [configuration]
        if self.plan["frames_by_keyword"]:
            kwargs.update(zip(PARAMETERS, frames))
        else:
            args.extend(frames)
        if self.plan["container"] != "omit":
            if self.plan["container_by_keyword"]:
                kwargs["custom_evaluators"] = evaluators
            else:
                if self.plan["frames_by_keyword"]:
                    kwargs["custom_evaluators"] = evaluators
                else:
                    args.append(evaluators)
        return lambda: obj.compute_metrics(*args, **kwargs)

    def result_call(self) -> Any:
        configuration = self.configuration()
        kwargs = self.kwargs()
        metrics_result = ODD_VALUES[self.plan["metrics_result"]]
        obj = self.obj
        if self.plan["by_keyword"]:
            return lambda: obj.get_metrics_result(configuration=configuration, metrics_result=metrics_result,
                                                  **kwargs)
        return lambda: obj.get_metrics_result(configuration, metrics_result, **kwargs)

    def globals(self) -> dict[str, Any]:
        return {"validate_type": self.recording_validate_type}


def run_both(plan: dict[str, Any], call_name: str) -> dict[str, rs.Outcome]:
    outcomes = {}
    for impl in ("native", "baseline"):
        world = World(impl, plan)
        with rs.patched({rs.MANAGER: world.manager_module()}, world.globals()):
            call = getattr(world, call_name)()
            outcomes[impl] = rs.observe(call, world.log)
    return outcomes


class SetItemRaises(dict):
    def __setitem__(self, key: Any, value: Any) -> None:
        if key == "host":
            raise Boom("setitem host")
        dict.__setitem__(self, key, value)


class PlainMapping:
    """keys() and __getitem__ (enough for **), __setitem__ into its own dict."""

    def __init__(self) -> None:
        self.data: dict[Any, Any] = {"caller": 1}

    def keys(self) -> Any:
        return list(self.data)

    def __getitem__(self, key: Any) -> Any:
        return self.data[key]

    def __setitem__(self, key: Any, value: Any) -> None:
        self.data[key] = value


class KeysNotStrings(PlainMapping):
    def keys(self) -> Any:
        return [1, *self.data]

    def __getitem__(self, key: Any) -> Any:
        return self.data.get(key, "one")


class KeysRaise(PlainMapping):
    def keys(self) -> Any:
        raise Boom("keys")


class SetOnly:
    def __setitem__(self, key: Any, value: Any) -> None:
        pass


KWARGS_KINDS = {
    "dict": lambda: {"caller": 1},
    "dict_with_origin": lambda: {"origin": "caller", "host": "caller"},
    "none": lambda: None,
    "list": lambda: [],
    "tuple": lambda: (),
    "proxy": lambda: types.MappingProxyType({}),
    "setitem_raises": SetItemRaises,
    "mapping": PlainMapping,
    "keys_not_strings": KeysNotStrings,
    "keys_raise": KeysRaise,
    "set_only": SetOnly,
    "ordered": lambda: collections.OrderedDict(caller=1),
}

