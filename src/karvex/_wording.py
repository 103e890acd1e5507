"""Small helpers for the wording of messages."""

from __future__ import annotations

__all__ = ["count_of", "number"]


def count_of(count: int, singular: str, plural: str | None = None) -> str:
    """``count`` and the noun in the form that agrees with it.

    Examples
    --------
    >>> count_of(1, "non-finite value"), count_of(3, "non-finite value")
    ('1 non-finite value', '3 non-finite values')
    >>> count_of(2, "was", "were")
    '2 were'
    """
    word = singular if count == 1 else (plural if plural is not None else singular + "s")
    return f"{count} {word}"


def number(value: float) -> str:
    """A number as short as it reads well: six significant digits, no
    trailing zeros (``0``, ``1``, ``0.5``, ``1.23457e+06``).

    Examples
    --------
    >>> number(1.0), number(0.5), number(-0.1234567)
    ('1', '0.5', '-0.123457')
    """
    return f"{value:.6g}"
