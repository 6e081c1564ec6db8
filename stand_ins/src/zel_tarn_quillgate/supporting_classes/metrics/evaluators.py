"""LLM-as-judge evaluators attached to a client.

An evaluator is a named prompt template that asks a judge model to grade a
model's output. :class:`LLMAJEvaluators` keeps the evaluators a user defined
for one client; building the prompts is done here, sending them to a judge
model is left to the service.
"""

from __future__ import annotations

import string
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from zel_tarn_quillgate.base_classes.tables import Table

__all__ = ["JudgeEvaluator", "LLMAJEvaluators"]


def _placeholders(template: str) -> tuple[str, ...]:
    names: list[str] = []
    for _, field, _, _ in string.Formatter().parse(template):
        if field is None:
            continue
        if not field.isidentifier():
            raise ValueError(
                f"prompt template placeholders must be plain names, got {{{field}}}"
            )
        if field not in names:
            names.append(field)
    return tuple(names)


@dataclass(frozen=True)
class JudgeEvaluator:
    """One judge prompt, e.g. ``"Is {prediction} supported by {context}?"``."""

    name: str
    prompt_template: str
    model_id: str | None = None
    description: str = ""

    @property
    def fields(self) -> tuple[str, ...]:
        """Names of the placeholders in the prompt template, in order."""
        return _placeholders(self.prompt_template)

    def render(self, **values: Any) -> str:
        """Fill the template; every placeholder must be given, and only those."""
        fields = self.fields
        missing = [f for f in fields if f not in values]
        if missing:
            raise KeyError(
                f"evaluator '{self.name}' needs values for: {', '.join(missing)}"
            )
        extra = sorted(set(values) - set(fields))
        if extra:
            raise KeyError(
                f"evaluator '{self.name}' has no placeholders named: {', '.join(extra)}"
            )
        return self.prompt_template.format(**values)


class LLMAJEvaluators:
    """The LLM-as-judge evaluators defined for one client."""

    def __init__(self, client: Any) -> None:
        self.client = client
        self._evaluators: dict[str, JudgeEvaluator] = {}

    def add(
        self,
        name: str,
        prompt_template: str,
        *,
        model_id: str | None = None,
        description: str = "",
    ) -> JudgeEvaluator:
        """Define a new evaluator and return it; names must be unique."""
        if not isinstance(name, str) or not name.strip():
            raise ValueError("evaluator name must be a non-empty str")
        if not isinstance(prompt_template, str):
            raise TypeError(
                "prompt_template must be a str, got "
                f"{type(prompt_template).__name__}"
            )
        if name in self._evaluators:
            raise ValueError(f"an evaluator named '{name}' already exists")
        if not _placeholders(prompt_template):
            raise ValueError(
                "prompt_template must contain at least one placeholder such as "
                "{prediction}"
            )
        evaluator = JudgeEvaluator(name, prompt_template, model_id, description)
        self._evaluators[name] = evaluator
        return evaluator

    def get(self, name: str) -> JudgeEvaluator:
        try:
            return self._evaluators[name]
        except KeyError:
            raise KeyError(f"no evaluator named '{name}'") from None

    def remove(self, name: str) -> None:
        self.get(name)
        del self._evaluators[name]

    def names(self) -> list[str]:
        return list(self._evaluators)

    def show(self) -> None:
        """Print the defined evaluators as a table."""
        rows = [
            [e.name, e.model_id, list(e.fields), e.description or None]
            for e in self._evaluators.values()
        ]
        Table(["Name", "Judge Model", "Fields", "Description"], rows).list(
            title="LLM-as-judge evaluators:"
        )

    def __contains__(self, name: object) -> bool:
        return name in self._evaluators

    def __iter__(self) -> Iterator[JudgeEvaluator]:
        return iter(list(self._evaluators.values()))

    def __len__(self) -> int:
        return len(self._evaluators)
