"""Errors raised by karvex."""

__all__ = ["FieldError", "MeshingError"]


class FieldError(ValueError):
    """The field returned something karvex cannot use."""


class MeshingError(RuntimeError):
    """The native mesher failed an internal check."""
