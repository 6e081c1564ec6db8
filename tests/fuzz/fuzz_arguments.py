"""Every method of the class (the oracle's own functions: public, private,
the constructor) called with an argument list decoded from the input: any
number of positional arguments, keywords that are parameter names, unknown
or repeated, given as str subclasses whose comparison and hash are Python
code (logged, raising, equal to everything, hashed as another name), through
an instance or through the class with anything as `self`; sometimes after
`__defaults__` or `__kwdefaults__` were replaced, sometimes only reading the
signature.  The body runs on the re-entrancy world's stand-ins, so the calls
into them are compared too.  The method and the keyword names are spelt
out in the input (fuzz_driver.named), so a new method or parameter leaves
every seed as it was."""

from __future__ import annotations

import inspect
from typing import Any

import pandas as pd

import fuzz_driver as fd
from fuzz_driver import rs, rt

METHODS = fd.oracle_methods()
NAMES = sorted(METHODS)
KEYWORDS = sorted({name for fn in METHODS.values() for name in inspect.signature(fn).parameters}) + ["x", "Self", ""]


class Logged(str):
    def __eq__(self, other: object) -> bool:
        rt.note("eq", str(self), str(other))
        return str.__eq__(self, other)

    def __hash__(self) -> int:
        rt.note("hash", str(self))
        return str.__hash__(self)

    __ne__ = str.__ne__


class EqRaises(str):
    def __eq__(self, other: object) -> bool:
        raise rs.Boom(f"eq {str(self)!r}")

    __hash__ = str.__hash__


class EqAll(str):
    def __eq__(self, other: object) -> bool:
        return True

    __hash__ = str.__hash__


class EqTruthy(str):
    """Answers with a non-bool object; its truth is what counts."""

    def __eq__(self, other: object) -> Any:
        return [1] if str.__eq__(self, other) else ()

    __hash__ = str.__hash__


class HashedAsOther(str):
    def __hash__(self) -> int:
        return hash("configuration")

    __eq__ = str.__eq__


KEY_CLASSES = [str, str, Logged, EqRaises, EqAll, EqTruthy, HashedAsOther]


class LenRaises(tuple):
    """Defaults whose len() and truth are Python code that fails."""

    def __len__(self) -> int:
        raise rs.Boom("len of defaults")


class LenLies(tuple):
    """Defaults that claim one item more than they hold."""

    def __len__(self) -> int:
        return tuple.__len__(self) + 1


class AnnotationsLenRaises(dict):
    def __len__(self) -> int:
        raise rs.Boom("len of annotations")


def pool(w: rt.World) -> list[Any]:
    frame = pd.DataFrame({"text": ["a"]})
    frame.attrs["label"] = "frame"
    return [None, {}, w.configuration, "a", "bleu", "rouge_score", "generation", 1, [], rs.RecordingDict(a={}),
            w.client, frame, w.evaluators, w.catalogue.legacy, ("t",), w.results, w.obj, rt.HookKey("b")]


def one_input(data: bytes) -> None:
    p = fd.provider(data)
    name = fd.named(p, METHODS, "the method")
    how = p.PickValueInList(["instance", "instance", "class", "class", "class-no-self", "signature"])
    self_index = p.ConsumeIntInRange(-1, 17)
    positional = fd.some(p, 6, lambda: p.ConsumeIntInRange(0, 17))
    keywords = fd.some(p, 4, lambda: (p.PickValueInList(KEY_CLASSES), fd.named(p, KEYWORDS, "a keyword"),
                                      p.ConsumeIntInRange(0, 17)))
    defaults = p.ConsumeIntInRange(0, 9)
    default_values = fd.some(p, 6, lambda: p.ConsumeIntInRange(0, 17))
    kwdefault = (fd.named(p, KEYWORDS, "a keyword"), p.ConsumeIntInRange(0, 17)) if not fd.usual(p, 85) else None
    # Function attributes set to what their setters refuse or to odd objects.
    odd_attribute = 0 if fd.usual(p, 80) else p.ConsumeIntInRange(1, 7)
    odd_value = p.ConsumeIntInRange(0, 17)

    def call(w: rt.World) -> Any:
        values = pool(w)
        function = vars(w.cls)[name]
        if defaults == 1:
            function.__defaults__ = None
        elif defaults == 2:
            function.__defaults__ = tuple(values[i] for i in default_values)
        elif defaults == 3 and function.__defaults__:
            function.__defaults__ = function.__defaults__[1:]
        if kwdefault is not None:
            function.__kwdefaults__ = {kwdefault[0]: values[kwdefault[1]]}
        odd = tuple(values[i] for i in default_values)
        if odd_attribute == 1:
            function.__kwdefaults__ = values[odd_value]
        elif odd_attribute <= 4:
            function.__annotations__ = [None, values[odd_value], AnnotationsLenRaises(configuration="list"),
                                        {"configuration": "list", "return": "int"}][odd_attribute - 1]
        elif odd_attribute <= 6:
            function.__defaults__ = (LenRaises if odd_attribute == 5 else LenLies)(odd)
        if how == "signature":
            return str(inspect.signature(getattr(w.cls, name)))
        args = [values[i] for i in positional]
        kwargs = {cls(key): values[i] for cls, key, i in keywords}
        rt.HOOK.log.clear()  # what building the keywords logged
        if how == "instance":
            target = getattr(w.obj, name)
        elif name == "__init__":
            target = w.cls
        else:
            target = getattr(w.cls, name)
            if how == "class":
                args.insert(0, w.obj if self_index < 0 else values[self_index])
        return target(*args, **kwargs)

    native = rt.in_world("native", call)
    oracle = rt.in_world("baseline", call)
    fd.compare("arguments", native, oracle, data)


if __name__ == "__main__":
    fd.main(one_input, lambda: [*NAMES, *KEYWORDS])
