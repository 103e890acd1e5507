"""The names test_native_extras.py imports, from the shared test fields
(tests/python/support/fields.py); they go with that file's merge."""

from support.fields import BALL as sphere  # noqa: F401
from support.fields import BOX, two_spheres  # noqa: F401
