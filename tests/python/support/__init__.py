"""What the Python tests share: the fields they mesh (``support.fields``) and the one
check of a mesh's topology (``support.mesh_check``).

The test directory is on ``sys.path`` while pytest runs (and so in the child
processes that tests start with the parent's path), so tests import these as
``from support.fields import sphere``.
"""
