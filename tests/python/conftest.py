import os
import sys

# The test command builds the extension in build/tests and points
# KARVEX_MODULE_DIR at it; without it, the installed module is tested.
_module_dir = os.environ.get("KARVEX_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, _module_dir)
