"""The meshers' results are the committed ones, to the bit: fixed fields (see
support/fingerprint.py) through the low-level module's functions and through
karvex.mesh, each result hashed and compared with fingerprint.txt beside this file.

A failing case means a result changed. That is a fault unless an issue asks for
that change; then rewrite the digests with

    KARVEX_FINGERPRINT_WRITE=1 bash scripts/test.sh tests/python/test_fingerprint.py

and commit fingerprint.txt with the change, saying in the commit which results
changed and why. The digests hold on any x86-64 machine: the fields use only
correctly rounded operations, and the meshers promise the same bits for any
worker count.
"""
import os
import platform
from pathlib import Path

import pytest

import _karvex_rs
from support import fingerprint

DIGESTS = Path(__file__).with_name("fingerprint.txt")
HEADER = [
    "Digests of the meshers' results (tests/python/test_fingerprint.py says when and",
    "how to rewrite them): the first 32 hex digits of each result's SHA-256, then the case.",
]


@pytest.fixture(scope="module")
def outcomes():
    return [fingerprint.run(case, _karvex_rs) for case in fingerprint.cases()]


@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"),
                    reason="the digests are those of x86-64")
def test_results_match_the_committed_digests(outcomes):
    if os.environ.get("KARVEX_FINGERPRINT_WRITE"):
        fingerprint.write_digests(DIGESTS, HEADER, outcomes)
        pytest.skip(f"digests written to {DIGESTS}")
    expected = fingerprint.read_digests(DIGESTS)
    labels = [o.case.label for o in outcomes]
    assert len(set(labels)) == len(labels), "two cases share a label"
    changed = [f"{o.case.label}: {o.digest[:32]}, committed {expected.get(o.case.label)}"
               for o in outcomes if expected.get(o.case.label) != o.digest[:32]]
    assert not changed, "results changed:\n" + "\n".join(changed)
    assert set(expected) == set(labels), f"cases gone: {sorted(set(expected) - set(labels))}"
