"""The mesh call."""

__all__ = ["mesh"]


def mesh(*args, **kwargs):  # placeholder
    raise NotImplementedError
