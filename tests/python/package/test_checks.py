"""The package's argument checkers: what each accepts and converts, and the exact
message of each failure in each wording (the wording karvex.mesh uses is pinned
here too, so its own checks can move onto these without a changed message)."""

import fractions

import numpy as np
import pytest

from karvex import _checks as c
from karvex import sdf

HINT = "pass a distance"

ACCEPTED = [
    (lambda: c.check_int("n", np.int64(5), c.AFTER_COMMA, low=0, high=31), 5, int),
    (lambda: c.check_real("x", fractions.Fraction(1, 4), c.AFTER_COMMA), 0.25, float),
    (lambda: c.check_real("x", np.array(2.0), c.IN_PARENS, c.positive, convertible=True),
     2.0, float),
    (lambda: c.check_real("x", 0, c.IN_PARENS, c.non_negative), 0.0, float),
    (lambda: c.check_bool("b", np.True_, c.AFTER_COMMA), True, bool),
    (lambda: c.check_choice("keep", "all", ("largest", "all"), c.AFTER_COMMA, "one"), "all", str),
]


@pytest.mark.parametrize("call, expected, kind", ACCEPTED)
def test_accepted_values_come_back_converted(call, expected, kind):
    result = call()
    assert result == expected and type(result) is kind


REJECTED = {
    "int of a flag": (lambda: c.check_int("max_depth", True, c.AFTER_COMMA, low=0, high=31),
                      TypeError, "max_depth must be an integer, got True (bool)"),
    "int of a float": (lambda: c.check_int("chunk", 2.5, c.IN_PARENS, low=1),
                       TypeError, "chunk must be an integer (got 2.5)"),
    "int above": (lambda: c.check_int("max_depth", np.int64(40), c.AFTER_COMMA, low=0, high=31),
                  ValueError, "max_depth must be an integer from 0 to 31, got 40"),
    "int below, open top": (lambda: c.check_int("workers", 0, c.AFTER_COMMA, low=1),
                            ValueError, "workers must be an integer 1 or more, got 0"),
    "int above, open bottom": (lambda: c.check_int("n", 3, c.AFTER_COMMA, high=2),
                               ValueError, "n must be an integer 2 or less, got 3"),
    "int, own words": (lambda: c.check_int("chunk", 0, c.IN_PARENS, low=1,
                                           requirement="a positive number of points"),
                       ValueError, "chunk must be a positive number of points (got 0)"),
    "real of text": (lambda: c.check_real("level", "0", c.AFTER_COMMA),
                     TypeError, "level must be a real number, got '0' (str)"),
    "real of a 0-d array, strict": (lambda: c.check_real("level", np.array(1.0), c.AFTER_COMMA),
                                    TypeError, "level must be a real number, got array(1.) "
                                    "(ndarray)"),
    "real of a flag, convertible": (lambda: c.check_real("radius", np.True_, c.IN_PARENS,
                                                         convertible=True),
                                    TypeError, "radius must be a real number (got np.True_)"),
    "real not finite": (lambda: c.check_real("level", np.float64("nan"), c.AFTER_COMMA,
                                             requirement="finite"),
                        ValueError, "level must be finite, got nan"),
    "real not positive": (lambda: c.check_real("radius", -1, c.IN_PARENS, c.positive),
                          ValueError, "radius must be a positive finite number (got -1)"),
    "real negative": (lambda: c.check_real("radius", -0.5, c.IN_PARENS, c.non_negative),
                      ValueError, "radius must be a finite number of at least 0 (got -0.5)"),
    "real with a hint": (lambda: c.check_real("simplify", "x", c.AFTER_COMMA, c.positive,
                                              kind="a real number or None", hint=HINT),
                         TypeError, f"simplify must be a real number or None, got 'x' (str); "
                         f"{HINT}"),
    "bool of an int": (lambda: c.check_bool("normals", 1, c.AFTER_COMMA),
                       TypeError, "normals must be True or False, got 1 (int)"),
    "choice of an array": (lambda: c.check_choice("keep", np.zeros(2), ("all",), c.AFTER_COMMA,
                                                  '"all"'),
                           ValueError, 'keep must be "all", got array([0., 0.])'),
    "callable by type": (lambda: c.check_callable("field", 3, c.TYPE_IN_PARENS),
                         TypeError, "field must be callable (got int)"),
    "callable, long repr": (lambda: c.check_callable("field", "x" * 80, c.AFTER_COMMA,
                                                     "a callable"),
                            TypeError, "field must be a callable, got '" + "x" * 56 + "... (str)"),
}


@pytest.mark.parametrize("call, error, message", REJECTED.values(), ids=REJECTED.keys())
def test_rejected_values_name_the_argument_and_the_value(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


def test_a_flag_is_no_size_for_a_shape():
    with pytest.raises(TypeError, match=r"radius must be a real number \(got np.True_\)"):
        sdf.sphere(np.True_)
