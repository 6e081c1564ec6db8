"""Argument checking used by the kit's public entry points."""

from __future__ import annotations

__all__ = ["MissingValueError", "validate_type"]


class MissingValueError(ValueError):
    """A required argument was not given (or given as ``None``)."""


def _expected_classes(expected: object) -> tuple[type, ...]:
    if isinstance(expected, type):
        return (expected,)
    if isinstance(expected, (list, tuple)):
        if not expected:
            raise ValueError("validate_type: 'expected' must name at least one class")
        for item in expected:
            if not isinstance(item, type):
                raise TypeError(
                    "validate_type: 'expected' must hold classes, got "
                    f"{type(item).__name__}"
                )
        return tuple(expected)
    raise TypeError(
        "validate_type: 'expected' must be a class or a list of classes, got "
        f"{type(expected).__name__}"
    )


def _type_name(cls: type) -> str:
    return cls.__name__


def validate_type(
    value: object,
    name: str,
    expected: type | list[type] | tuple[type, ...],
    required: bool,
) -> None:
    """Check that ``value`` is an instance of ``expected``.

    :param value: the argument to check.
    :param name: its parameter name, used in the error messages.
    :param expected: a class, or a list of classes any of which is accepted.
    :param required: when true, ``None`` is refused with
        :class:`MissingValueError`; when false, ``None`` is accepted.
    :raises MissingValueError: a required value is ``None``.
    :raises TypeError: the value is of none of the expected classes.
    """
    classes = _expected_classes(expected)
    if value is None:
        if required:
            raise MissingValueError(f"Missing value for required parameter '{name}'")
        return None
    if not isinstance(value, classes):
        names = " or ".join(_type_name(cls) for cls in classes)
        raise TypeError(
            f"Parameter '{name}' must be of type {names}, "
            f"got {_type_name(type(value))}"
        )
    return None
