#!/usr/bin/env python3
"""End-to-end tests of the wait after the installer: programs started from the staging folder keep
it; both stubs under Wine.

    tests/e2e/bootstrap_e2e.py --win32 build/win32/SelfExtractor.exe --win64 build/win64/SelfExtractor.exe
                               [--only PATTERN] [--keep] [--prefix DIR]

The installer is tests/e2e/programs/cleanup_installer.c in its bootstrap modes.

wait-bootstrapper: setup starts child.exe from the staging folder and exits at once; the child
  reads its data file 3 seconds later. The data is there, the stub returns only after the child
  has read it, with setup's exit code, and the staging folder is gone afterwards.
wait-application: setup starts "the installed application" from outside the staging folder at its
  end and exits; the application runs 8 seconds. The stub does not wait for it.
wait-tree: an installer packed by sfxtool with --wait tree, whose setup hands over to a program
  outside the staging folder (as to msiexec) that reads setup's data 3 seconds later: the stub
  waits for it, and the data is there. Packed without the option (the default staging wait), the
  same program finds the data gone.

Prints "PASS|FAIL|SKIP case [stub]" lines and finally "RESULT passed=N failed=N skipped=N"; exits
non-zero on any failure.
"""
from __future__ import annotations

import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import cleanup_e2e as cleanup  # noqa: E402
import run_e2e as e2e  # noqa: E402

REPO = e2e.REPO
EXIT_CODE = 17
SFXTOOL = REPO / "build" / "host" / "sfxtool"
DATA = b"the real installer's data\n"


class WaitCases:
    def __init__(self, h: e2e.Harness, installer: Path):
        self.h = h
        self.installer = installer.read_bytes()

    def _payload(self) -> bytes:
        return e2e.zip_payload([e2e.Entry(e2e.DEFAULT_INSTALLER, self.installer),
                                e2e.Entry("child.exe", self.installer), e2e.Entry("data.bin", DATA)])

    def _run(self, stub: e2e.Stub, d: Path, mode: str) -> tuple[e2e.RunResult, float, Path]:
        signals = d / "signals"
        signals.mkdir()
        exe = self.h.place_stub(stub, d, self._payload())
        env = {"SFX_CLEANUP_SIGNALS": self.h.wine.win_path(signals), "SFX_CLEANUP_EXIT": str(EXIT_CODE),
               "SFX_CLEANUP_MODE": mode}
        started = time.monotonic()
        r = self.h.run(stub, exe, " /S", extra_env=env)
        return r, time.monotonic() - started, signals

    def wait_bootstrapper(self, stub: e2e.Stub) -> None:
        d = self.h.fresh_case("wait-bootstrapper", stub)
        r, seconds, signals = self._run(stub, d, "bootstrap")
        c = e2e.Checks()
        e2e.check_exit(c, r, EXIT_CODE)
        read = signals / "child-read"
        if c.expect(read.exists(), f"the child had not read its data when the stub returned ({seconds:.1f}s)"):
            c.expect(read.read_bytes() == DATA, f"the child found no data: {read.read_bytes()!r}")
        c.expect(seconds >= 3, f"the stub returned after {seconds:.1f}s, before the child's 3 seconds")
        e2e.check_staging_gone(c, r)
        c.expect(not r.temp_entries, f"left in the temp folder: {r.temp_entries}")
        e2e.log(f"  note wait-bootstrapper [{stub.label}]: the stub took {seconds:.1f}s")
        c.done()

    def wait_tree(self, stub: e2e.Stub) -> None:
        c = e2e.Checks()
        for wait in ("tree", "staging"):
            d = self.h.fresh_case(f"wait-tree-{wait}", stub)
            payload = d / "payload"
            payload.mkdir()
            (payload / e2e.DEFAULT_INSTALLER).write_bytes(self.installer)
            (payload / "data.bin").write_bytes(DATA)
            exe = d / "setup.exe"
            r = subprocess.run([str(SFXTOOL), "pack", "--stub", str(stub.path), "--payload", str(payload),
                                "--format", "zip", "--wait", wait, "--quiet", "-o", str(exe)],
                               capture_output=True, text=True)
            if r.returncode != 0:
                raise e2e.CaseFail(f"sfxtool pack --wait {wait} failed: {r.stdout}{r.stderr}")
            signals = d / "signals"
            signals.mkdir()
            env = {"SFX_CLEANUP_SIGNALS": self.h.wine.win_path(signals), "SFX_CLEANUP_EXIT": str(EXIT_CODE),
                   "SFX_CLEANUP_MODE": "outside"}
            started = time.monotonic()
            run = self.h.run(stub, exe, " /S", extra_env=env)
            seconds = time.monotonic() - started
            e2e.check_exit(c, run, EXIT_CODE)
            e2e.check_staging_gone(c, run)
            read = signals / "child-read"
            if wait == "tree":
                if c.expect(read.exists(), f"--wait tree: the stub returned ({seconds:.1f}s) before the program "
                                           f"outside the staging folder ended"):
                    c.expect(read.read_bytes() == DATA, f"--wait tree: the program found no data: {read.read_bytes()!r}")
            else:
                c.expect(not read.exists(), f"--wait staging: the stub waited for a program from elsewhere ({seconds:.1f}s)")
                if c.expect(cleanup.await_file(read, 30), "the program outside did not end"):
                    c.expect(read.read_bytes().startswith(b"missing"),
                             f"control: the program outside still found the data: {read.read_bytes()!r}")
            e2e.log(f"  note wait-tree [{stub.label}] --wait {wait}: the stub took {seconds:.1f}s")
        c.done()

    def wait_application(self, stub: e2e.Stub) -> None:
        d = self.h.fresh_case("wait-application", stub)
        r, seconds, signals = self._run(stub, d, "app")
        c = e2e.Checks()
        e2e.check_exit(c, r, EXIT_CODE)
        done = signals / "app-done"
        c.expect(not done.exists(), f"the stub waited for the application ({seconds:.1f}s)")
        e2e.check_staging_gone(c, r)
        c.expect(cleanup.await_file(done, 30), "the application did not end")
        e2e.log(f"  note wait-application [{stub.label}]: the stub took {seconds:.1f}s")
        c.done()


CASES = [
    ("wait-bootstrapper", WaitCases.wait_bootstrapper),
    ("wait-application", WaitCases.wait_application),
    ("wait-tree", WaitCases.wait_tree),
]


def main() -> int:
    return e2e.drive(__doc__, CASES, lambda h, programs: WaitCases(h, cleanup.build_installer(programs)),
                     "e2e-wait")


if __name__ == "__main__":
    sys.exit(main())
