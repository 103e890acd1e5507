"""How the benchmark scripts find the modules under test.

The modules are imported from --module-dir, else from $KARVEX_MODULE_DIR, else
from the installed package. With a module directory (a build tree) the karvex
package comes from the source tree and its private extension from the build,
as in the tests."""
import argparse
import os
import sys

SOURCE_TREE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")


def add_module_dir_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--module-dir", help="directory holding the built _karvex_rs module")


def import_module(module_dir):
    """The low-level module, after making karvex importable from the same place."""
    module_dir = module_dir or os.environ.get("KARVEX_MODULE_DIR")
    if module_dir:
        sys.path.insert(0, module_dir)
        sys.path.insert(1, SOURCE_TREE)
        import karvex

        built = os.path.join(module_dir, "karvex")
        if built not in karvex.__path__:
            karvex.__path__.append(built)
    import _karvex_rs
    return _karvex_rs
