"""How the benchmark scripts find the module under test.

The module is imported from --module-dir, else from $KARVEX_MODULE_DIR, else
from the installed package."""
import argparse
import os
import sys


def add_module_dir_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--module-dir", help="directory holding the built _karvex_rs module")


def import_module(module_dir):
    module_dir = module_dir or os.environ.get("KARVEX_MODULE_DIR")
    if module_dir:
        sys.path.insert(0, module_dir)
    import _karvex_rs
    return _karvex_rs
