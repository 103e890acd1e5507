"""Fields over 3-D arrays of samples."""

__all__ = ["grid_field"]


def grid_field(*args, **kwargs):  # placeholder
    raise NotImplementedError
