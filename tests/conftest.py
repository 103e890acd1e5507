import os
import sys

# For the product's tests (tests/python) and the tooling's (tests/tooling).
# The test command builds the extensions in build/tests and points
# KARVEX_MODULE_DIR at it; the karvex package is then taken from the source
# tree and its private extension from the build. Without KARVEX_MODULE_DIR the
# installed modules are tested.
_module_dir = os.environ.get("KARVEX_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, _module_dir)
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "src"))
    import karvex

    karvex.__path__.append(os.path.join(_module_dir, "karvex"))
