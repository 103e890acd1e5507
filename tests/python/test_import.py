import _karvex_rs


def test_module_imports():
    assert _karvex_rs.__name__ == "_karvex_rs"
