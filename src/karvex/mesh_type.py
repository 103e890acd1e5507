"""The Mesh type."""

__all__ = ["Mesh"]


class Mesh:
    """A triangle mesh (placeholder)."""
