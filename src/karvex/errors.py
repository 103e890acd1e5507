"""Errors raised by karvex.

Both types derive from the builtin a caller would catch anyway: a field that
returns something unusable is bad input (:class:`ValueError`), a failure inside
the native mesher is a runtime failure (:class:`RuntimeError`). Either is
caught by ``except Exception``.
"""

from __future__ import annotations

__all__ = ["FieldError", "MeshingError", "ValidityWarning"]


class FieldError(ValueError):
    """The field returned something karvex cannot use.

    The message says what was wrong with the returned value (its type, shape,
    dtype, or a non-finite entry) and how to fix the field.

    Examples
    --------
    >>> import numpy as np
    >>> import karvex
    >>> def values_only(points):
    ...     return np.linalg.norm(points, axis=1) - 0.5  # not a pair
    >>> try:
    ...     karvex.mesh(values_only, ((-1, -1, -1), (1, 1, 1)), max_depth=3)
    ... except karvex.FieldError as error:
    ...     print("return (values, None)" in str(error))
    True
    """


class MeshingError(RuntimeError):
    """The native mesher failed an internal check.

    The message is the native one; the native exception is kept as
    ``__cause__``. Such a failure points at a bug in karvex: please report it
    with the message.

    Examples
    --------
    >>> import karvex
    >>> issubclass(karvex.MeshingError, RuntimeError)
    True
    """


def is_native_panic(error: BaseException, panic_type: type[BaseException]) -> bool:
    """Tell whether ``error`` is the native module's internal-failure exception.

    Parameters
    ----------
    error : BaseException
        Any exception.
    panic_type : type
        The native module's ``PanicException`` class (it derives from
        BaseException, so ``except Exception`` would not see it).

    Returns
    -------
    bool
        True when the class of ``error`` is ``panic_type`` itself (not a
        subclass, and not another class of the same name).

    Examples
    --------
    >>> class PanicException(BaseException):
    ...     pass
    >>> is_native_panic(PanicException("x"), PanicException)
    True
    >>> is_native_panic(type("PanicException", (BaseException,), {})("x"), PanicException)
    False
    """
    return type(error) is panic_type


def meshing_error_from(panic: BaseException) -> MeshingError:
    """Build the :class:`MeshingError` that stands for a native panic.

    Parameters
    ----------
    panic : BaseException
        The native ``PanicException``.

    Returns
    -------
    MeshingError
        With the panic's message and ``panic`` as ``__cause__``; raise it with
        ``raise meshing_error_from(p) from p`` to keep the traceback chain.

    Examples
    --------
    >>> class PanicException(BaseException):
    ...     pass
    >>> str(meshing_error_from(PanicException("index out of bounds")))
    'index out of bounds'
    """
    message = str(panic.args[0]) if len(panic.args) == 1 else str(panic)
    error = MeshingError(message)
    error.__cause__ = panic
    return error


class ValidityWarning(UserWarning):
    """:func:`karvex.mesh` could not make every triangle valid.

    The message gives the number of triangles that still intersect others or
    have zero area; :meth:`karvex.Mesh.check` counts every defect. The mesh is
    returned all the same, since it is still the closest surface found.
    """
