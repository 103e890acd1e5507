"""The examples in the package's docstrings run and print what they show."""

import doctest
import importlib

import pytest

MODULES = ["karvex.errors", "karvex._field_check", "karvex._mesh", "karvex._mesher",
           "karvex._progress", "karvex._arguments", "karvex._engine", "karvex._checks"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # in case an example writes a file
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.ELLIPSIS)
    assert result.failed == 0 and result.attempted > 0
