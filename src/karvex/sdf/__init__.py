"""Signed-distance primitives, boolean operations and transforms (placeholder)."""
