"""The package's argument checkers: one vocabulary for integers in a range,
real numbers, finite and positive ones, flags, choices and callables.

A checker takes the argument's name and value, returns the value converted
(``int``, ``float``, ``bool``) and otherwise raises: ``TypeError`` for a value
of the wrong kind (a string for a radius), ``ValueError`` for one of the right
kind out of range. Every message reads ``"<name> must be <requirement>"``
followed by the value it got, so a mistake deep in a long expression points at
the right argument.

Where the value goes is a :class:`Wording`, chosen once per family of
functions so that each family reads alike:

- :data:`AFTER_COMMA` (``karvex.mesh``): ``"max_depth must be an integer, got
  'x' (str)"``; a value out of range is shown as converted (``got 40``).
- :data:`IN_PARENS` (``karvex.sdf``, ``dask_field``): ``"radius must be a
  positive finite number (got -1)"``, the value as given.
- :data:`TYPE_IN_PARENS`: ``"function must be callable (got int)"``, the type's
  name, for values whose repr says little (objects, functions).

Examples
--------
>>> check_int("max_depth", 7, AFTER_COMMA, low=0, high=31)
7
>>> check_real("radius", "1", IN_PARENS, positive, convertible=True)
Traceback (most recent call last):
...
TypeError: radius must be a real number (got '1')
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Collection
from dataclasses import dataclass
from typing import TypeVar

import numpy as np

__all__ = [
    "AFTER_COMMA",
    "IN_PARENS",
    "TYPE_IN_PARENS",
    "Wording",
    "check_bool",
    "check_callable",
    "check_choice",
    "check_int",
    "check_real",
    "finite",
    "non_negative",
    "positive",
    "shown",
]

T = TypeVar("T")

# Both flags are rejected wherever a number is wanted: True is an int to Python
# and np.True_ converts to 1.0, but neither is ever meant as a size or a count.
_FLAGS = (bool, np.bool_)


def shown(value: object) -> str:
    """``value`` as messages show it: its repr, cut to 60 characters, and its type.

    >>> shown("yes")
    "'yes' (str)"
    """
    text = repr(value)
    if len(text) > 60:
        text = text[:57] + "..."
    return f"{text} ({type(value).__name__})"


@dataclass(frozen=True)
class Wording:
    """Where a message puts the value it got, and how it shows it.

    ``show_kind(value)`` shows a value of the wrong kind (in ``TypeError``);
    ``show_range(given, converted)`` one of the right kind out of range (in
    ``ValueError``). A hint, when given, follows after a semicolon.
    """

    opening: str
    closing: str
    show_kind: Callable[[object], str]
    show_range: Callable[[object, object], str]

    def message(self, name: str, requirement: str, text: str, hint: str = "") -> str:
        """``"<name> must be <requirement><opening><text><closing>[; <hint>]"``."""
        message = f"{name} must be {requirement}{self.opening}{text}{self.closing}"
        return f"{message}; {hint}" if hint else message

    def kind_error(self, name: str, requirement: str, value: object, hint: str = "") -> TypeError:
        """The ``TypeError`` for ``value``, of a kind ``name`` does not take."""
        return TypeError(self.message(name, requirement, self.show_kind(value), hint))

    def range_error(
        self, name: str, requirement: str, given: object, converted: object, hint: str = ""
    ) -> ValueError:
        """The ``ValueError`` for ``given`` (``converted`` once checked), out of range."""
        return ValueError(self.message(name, requirement, self.show_range(given, converted), hint))


AFTER_COMMA = Wording(", got ", "", shown, lambda given, converted: repr(converted))
IN_PARENS = Wording(" (got ", ")", repr, lambda given, converted: repr(given))
TYPE_IN_PARENS = Wording(
    " (got ", ")", lambda value: type(value).__name__, lambda given, converted: repr(given)
)


def check_int(
    name: str,
    value: object,
    wording: Wording,
    *,
    low: int | None = None,
    high: int | None = None,
    requirement: str | None = None,
) -> int:
    """``value`` as an ``int``, checked to lie in ``[low, high]`` (either end open when None).

    An integer is any :class:`numbers.Integral` (Python and NumPy integers)
    but a flag. ``requirement`` words the range when the default ("an integer
    from 0 to 31", "an integer 1 or more") does not say what the number counts.
    """
    if isinstance(value, _FLAGS) or not isinstance(value, numbers.Integral):
        raise wording.kind_error(name, "an integer", value)
    number = int(value)
    if (low is not None and number < low) or (high is not None and number > high):
        if requirement is None:
            if high is None:
                requirement = f"an integer {low} or more"
            elif low is None:
                requirement = f"an integer {high} or less"
            else:
                requirement = f"an integer from {low} to {high}"
        raise wording.range_error(name, requirement, value, number)
    return number


def finite(number: float) -> bool:
    """Accepts any finite number."""
    return math.isfinite(number)


def positive(number: float) -> bool:
    """Accepts finite numbers above zero."""
    return math.isfinite(number) and number > 0.0


def non_negative(number: float) -> bool:
    """Accepts finite numbers of at least zero."""
    return math.isfinite(number) and number >= 0.0


_REQUIREMENTS: dict[Callable[[float], bool], str] = {
    finite: "a finite number",
    positive: "a positive finite number",
    non_negative: "a finite number of at least 0",
}


def check_real(
    name: str,
    value: object,
    wording: Wording,
    accept: Callable[[float], bool] = finite,
    *,
    requirement: str | None = None,
    kind: str = "a real number",
    convertible: bool = False,
    hint: str = "",
) -> float:
    """``value`` as a ``float`` that ``accept`` (:data:`finite`, :data:`positive`,
    :data:`non_negative` or any test of a float) takes.

    A real number is a :class:`numbers.Real` but a flag; with ``convertible``
    also anything ``float()`` converts but a string (0-d arrays, tensors of one
    element), as shapes take sizes from any array library. ``kind`` and
    ``requirement`` word the two failures; ``requirement`` defaults to the
    words of the three tests above.
    """
    if isinstance(value, _FLAGS) or isinstance(value, str):
        raise wording.kind_error(name, kind, value, hint)
    if convertible:
        try:
            number = float(value)  # type: ignore[arg-type]
        except (TypeError, ValueError):
            raise wording.kind_error(name, kind, value, hint) from None
    elif isinstance(value, numbers.Real):
        number = float(value)
    else:
        raise wording.kind_error(name, kind, value, hint)
    if not accept(number):
        words = requirement if requirement is not None else _REQUIREMENTS[accept]
        raise wording.range_error(name, words, value, number, hint)
    return number


def check_bool(name: str, value: object, wording: Wording) -> bool:
    """``value`` as a ``bool``: only ``True``, ``False`` and NumPy's flags pass
    (not 0 and 1, which are more often a misplaced number than a flag)."""
    if not isinstance(value, _FLAGS):
        raise wording.kind_error(name, "True or False", value)
    return bool(value)


def check_choice(
    name: str, value: object, choices: Collection[T], wording: Wording, requirement: str
) -> T:
    """The choice ``value`` equals (a ``ValueError`` naming them otherwise,
    whatever the kind of ``value``); ``requirement`` says what each choice means."""
    for choice in choices:
        # Compared only with values of the choice's own type, so that an array
        # or an object with a loose __eq__ cannot pass or fail the test oddly.
        if isinstance(value, type(choice)) and value == choice:
            return choice
    raise wording.range_error(name, requirement, value, value)


def check_callable(
    name: str, value: object, wording: Wording, requirement: str = "callable"
) -> Callable[..., object]:
    """``value`` if it can be called; ``requirement`` may say what it is called with."""
    if not callable(value):
        raise wording.kind_error(name, requirement, value)
    return value
