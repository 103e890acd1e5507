"""What the Python tests share: the fields they mesh (``support.fields``) and the one
check of a mesh's topology (``support.mesh_check``).

tests/python is on ``sys.path`` while pytest runs (pyproject's ``pythonpath``,
for tests/python and tests/tooling alike, and so in the child processes that
tests start with the parent's path), so tests import these as
``from support.fields import sphere``.
"""
