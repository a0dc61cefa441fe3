"""Fixtures of the pelox package tests: one emulator for the whole run (each
test works in names of its own), a logged-in client per test.

Run by CTest (tests/python/CMakeLists.txt), which sets PELOX_LIBRARY and
PELOX_EMULATOR to the build's library and emulator and puts python/ on the
import path. By hand:

    PELOX_LIBRARY=build/src/libpeloxImp.so PELOX_EMULATOR=build/emulator/pelox-emulator \\
        PYTHONPATH=python pytest-3 tests/python
"""

import pytest

import pelox
from pelox.testing import Emulator


@pytest.fixture(scope="session")
def emu():
    with Emulator() as running:
        yield running


@pytest.fixture
def client(emu):
    with pelox.Client(emu.url, "tester", "secret") as c:
        yield c
