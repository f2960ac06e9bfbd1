#!/usr/bin/env python3
"""Runs runtime_check.exe (tests/build/runtime_check.cpp, built with each Windows stub) under Wine:
the stub's freestanding memory and allocation functions, linked exactly as in the stub.

Build folders come from $SFX_WIN32_BUILD and $SFX_WIN64_BUILD (default build/win32, build/win64);
the Wine prefix is scripts/wine-env's (override with $SFX_WINEPREFIX). A flavour whose program is
not built, or a 32-bit route that Wine cannot offer here, is skipped with the reason.

Usage: python3 tests/build/test_runtime.py [-v]
"""

import os
import subprocess
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
WINE_ENV = os.path.join(REPO, "scripts", "wine-env")

BUILDS = {
    "win32": os.environ.get("SFX_WIN32_BUILD", os.path.join(REPO, "build", "win32")),
    "win64": os.environ.get("SFX_WIN64_BUILD", os.path.join(REPO, "build", "win64")),
}

_setup = None


def wine_setup():
    """scripts/wine-env setup's KEY=VALUE lines, once per run."""
    global _setup
    if _setup is None:
        result = subprocess.run([WINE_ENV, "setup"], capture_output=True, text=True,
                                timeout=900, check=False)
        _setup = dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
        _setup["_rc"] = str(result.returncode)
    return _setup


class RuntimeUnderWine(unittest.TestCase):

    def run_flavour(self, flavour, runner):
        program = os.path.abspath(os.path.join(BUILDS[flavour], "tests", "runtime_check.exe"))
        if not os.path.isfile(program):
            self.skipTest("%s not built" % program)
        if not os.path.isfile(WINE_ENV):
            self.skipTest("scripts/wine-env missing")
        setup = wine_setup()
        if setup["_rc"] != "0":
            self.skipTest("Wine prefix could not be set up")
        if flavour == "win32" and setup.get("WIN32") != "ok":
            self.skipTest("32-bit Wine unavailable: %s" % setup.get("WIN32_REASON", "?"))
        result = subprocess.run([WINE_ENV, runner, program], capture_output=True, text=True,
                                timeout=600, check=False, cwd=os.path.dirname(program))
        self.assertEqual(result.returncode, 0,
                         "runtime_check.exe failed check %d" % result.returncode)

    def test_win64_runtime(self):
        self.run_flavour("win64", "run64")

    def test_win32_runtime(self):
        self.run_flavour("win32", "run32")


if __name__ == "__main__":
    unittest.main()
