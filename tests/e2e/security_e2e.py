#!/usr/bin/env python3
"""End-to-end tests of who may write into the stub's folders, and of a delete that no swap can
redirect: both stubs under Wine.

    tests/e2e/security_e2e.py --win32 build/win32/SelfExtractor.exe --win64 build/win64/SelfExtractor.exe
                              [--only PATTERN] [--keep] [--prefix DIR]

Wine keeps a folder's access list only as Unix mode bits (an entry for Everyone becomes the
"other" bits) and runs every process elevated at High integrity, so these cases check what Wine
can show; the label, the protected flag and the other token kinds are covered by the unit tests.
The installer is tests/e2e/programs/cleanup_installer.c in its "security" mode.

security-staging: the staging folder grants nothing to Everyone, Users or Authenticated Users, as
  the installer reads it back with GetNamedSecurityInfoW, and its mode gives "other" nothing, seen
  from Linux; the installer writes a log beside itself and makes names that Win32 paths cannot
  express ("dot.", "sp \\x. "); all of it goes with the staging folder.
security-relaunch: the same for the private GUID folder of a relaunch, which is the installer's
  current folder there (so its log by relative path lands in it); everything goes with it.
security-swap: while the installer runs and after it ends (through the stub's delete), a Linux
  process swaps two staging subfolders with links to an outside folder whose names match theirs
  (renameat2 with RENAME_EXCHANGE, over and over; a Windows program cannot make that swap under
  Wine, whose rename follows the link). Nothing outside the staging folder is removed or changed.

Prints "PASS|FAIL|SKIP case [stub]" lines and finally "RESULT passed=N failed=N skipped=N"; exits
non-zero on any failure.
"""
from __future__ import annotations

import ctypes
import os
import stat
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import cleanup_e2e as cleanup  # noqa: E402
import run_e2e as e2e  # noqa: E402

REPO = e2e.REPO
EXIT_CODE = 31
# Everyone, Users, Authenticated Users: none of them may appear in the folders' lists.
FOREIGN_SIDS = {"S-1-1-0": "Everyone", "S-1-5-32-545": "Users", "S-1-5-11": "Authenticated Users"}

_libc = ctypes.CDLL(None, use_errno=True)
_AT_FDCWD = -100
_RENAME_EXCHANGE = 2


def exchange(a: Path, b: Path) -> bool:
    """Swaps the two names atomically (renameat2 with RENAME_EXCHANGE); False when it fails."""
    return _libc.renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0


class Swapper(threading.Thread):
    """Swaps each real folder with a link to `target` beside it, over and over, until stopped."""

    def __init__(self, pairs: list[tuple[Path, Path]]):
        super().__init__(daemon=True)
        self.pairs = pairs
        self.stopping = threading.Event()
        self.swaps = 0

    def run(self) -> None:
        while not self.stopping.is_set():
            for a, b in self.pairs:
                if exchange(a, b):
                    self.swaps += 1
            if self.swaps % 64 == 0:
                time.sleep(0.0005)   # leave the other core some room
        # Put every real folder back in its place, so what stays can be told apart.
        for a, b in self.pairs:
            if os.path.islink(a) and not os.path.islink(b):
                exchange(a, b)


def foreign_entries(access: str) -> list[str]:
    """The allow entries of a read-back list that name Everyone, Users or Authenticated Users."""
    found = []
    for entry in access.split(","):
        parts = entry.split()
        if len(parts) == 3 and parts[0] == "allow" and parts[1] in FOREIGN_SIDS:
            found.append(f"{FOREIGN_SIDS[parts[1]]} ({entry})")
    return found


class SecurityCases:
    def __init__(self, h: e2e.Harness, installer: Path):
        self.h = h
        self.installer = installer.read_bytes()

    def _run_waiting(self, stub: e2e.Stub, exe: Path, signals: Path, while_waiting) -> e2e.RunResult:
        """Runs the stub; once the installer is ready, calls while_waiting(ready) and then lets the
        installer end."""
        env = {"SFX_CLEANUP_SIGNALS": self.h.wine.win_path(signals), "SFX_CLEANUP_EXIT": str(EXIT_CODE),
               "SFX_CLEANUP_MODE": "security"}
        result: list = []

        def run() -> None:
            try:
                result.append(self.h.run(stub, exe, " /S", extra_env=env))
            except Exception as e:  # reported below as a failure of the case
                result.append(e)

        runner = threading.Thread(target=run)
        runner.start()
        try:
            if not cleanup.await_file(signals / "installer-ready", stub.timeout + 30, runner.is_alive):
                raise e2e.CaseFail("the installer never reported ready (did it start?)")
            while_waiting(cleanup.key_values(signals / "installer-ready"))
        finally:
            (signals / "planted").write_text("planted\n")
            runner.join()
        r = result[0]
        if isinstance(r, Exception):
            raise e2e.CaseFail(f"the run failed in the harness: {type(r).__name__}: {r}")
        return r

    def _check_folder(self, c: e2e.Checks, what: str, access: str, folder: Path) -> None:
        c.expect(not access.startswith("error") and access.strip() != "",
                 f"{what}: the list could not be read back: {access!r}")
        foreign = foreign_entries(access)
        c.expect(not foreign, f"{what} grants {foreign}")
        mode = os.lstat(folder).st_mode
        c.expect(stat.S_ISDIR(mode) and mode & 0o007 == 0,
                 f"{what} {folder.name}: mode {oct(mode & 0o777)} gives others access")
        e2e.log(f"  note: {what}: {access}; mode {oct(mode & 0o777)}")

    def _check_names(self, c: e2e.Checks, ready: dict, folder: Path) -> None:
        names = set(os.listdir(folder))
        c.expect(ready.get("trailing-space-folder") == "1" and {"dot.", "sp ", "beside.log"} <= names,
                 f"control: the installer did not make its names: {ready}, {sorted(names)}")
        c.expect(ready.get("plain-dot-seen") == "0", "control: 'dot' exists beside 'dot.'")

    def security_staging(self, stub: e2e.Stub) -> None:
        d = self.h.fresh_case("security-staging", stub)
        signals = d / "signals"
        signals.mkdir()
        exe = self.h.place_stub(stub, d, e2e.zip_payload([e2e.Entry(e2e.DEFAULT_INSTALLER, self.installer)]))
        c = e2e.Checks()
        staging: list[Path] = []

        def look(ready: dict) -> None:
            found = [n for n in os.listdir(self.h.wine.temp) if e2e.STAGING_RE.match(n)]
            if len(found) != 1:
                raise e2e.CaseFail(f"want one staging folder while the installer waits, temp holds {found}")
            staging.append(self.h.wine.temp / found[0])
            self._check_folder(c, "the staging folder", ready.get("folder-access", ""), staging[0])
            self._check_names(c, ready, staging[0])

        r = self._run_waiting(stub, exe, signals, look)
        e2e.check_exit(c, r, EXIT_CODE)
        c.expect(not r.temp_entries, f"left in the temp folder: {r.temp_tree or r.temp_entries}")
        c.done()

    def security_relaunch(self, stub: e2e.Stub) -> None:
        d = self.h.fresh_case("security-relaunch", stub)
        signals = d / "signals"
        signals.mkdir()
        stub_dir = d / "with-dll"
        exe = self.h.place_stub(stub, stub_dir, e2e.zip_payload([e2e.Entry(e2e.DEFAULT_INSTALLER, self.installer)]))
        (stub_dir / "x.dll").write_bytes(b"not really a library")   # relaunch mode
        c = e2e.Checks()

        def look(ready: dict) -> None:
            guids = [n for n in os.listdir(self.h.wine.temp) if e2e.GUID_RE.match(n)]
            if len(guids) != 1:
                raise e2e.CaseFail(f"want one private folder while the installer waits, temp holds "
                                   f"{os.listdir(self.h.wine.temp)}")
            private = self.h.wine.temp / guids[0]
            c.expect(ready.get("current", "").rstrip("\\").lower().endswith(guids[0].lower()),
                     f"the installer's current folder is not the private folder: {ready.get('current')}")
            self._check_folder(c, "the private folder", ready.get("current-access", ""), private)
            c.expect((private / "current.log").is_file(), "the log by relative path is not in the private folder")
            stagings = [n for n in os.listdir(self.h.wine.temp) if e2e.STAGING_RE.match(n)]
            if c.expect(len(stagings) == 1, f"want the copy's staging folder, temp holds {stagings}"):
                staging = self.h.wine.temp / stagings[0]
                self._check_folder(c, "the copy's staging folder", ready.get("folder-access", ""), staging)
                self._check_names(c, ready, staging)

        r = self._run_waiting(stub, exe, signals, look)
        e2e.check_exit(c, r, EXIT_CODE)
        c.expect(not r.temp_entries, f"left in the temp folder: {r.temp_tree or r.temp_entries}")
        c.done()

    def security_swap(self, stub: e2e.Stub) -> None:
        d = self.h.fresh_case("security-swap", stub)
        signals, outside = d / "signals", d / "outside"
        signals.mkdir()
        # The outside folder holds the names the installer's swap\a tree holds.
        (outside / "inner" / "deeper").mkdir(parents=True)
        (outside / "keep.txt").write_bytes(b"outside: must survive\n")
        (outside / "inner" / "deep.bin").write_bytes(e2e.pseudo_random(4000, 9))
        (outside / "inner" / "deeper" / "deepest.txt").write_bytes(b"outside, deepest\n")
        outside_before = cleanup.snapshot(outside)
        exe = self.h.place_stub(stub, d, e2e.zip_payload([e2e.Entry(e2e.DEFAULT_INSTALLER, self.installer)]))
        c = e2e.Checks()
        swapper: list[Swapper] = []

        def start_swapping(ready: dict) -> None:
            found = [n for n in os.listdir(self.h.wine.temp) if e2e.STAGING_RE.match(n)]
            if len(found) != 1:
                raise e2e.CaseFail(f"want one staging folder while the installer waits, temp holds {found}")
            swap = self.h.wine.temp / found[0] / "swap"
            os.symlink(outside, swap / "a-link")
            os.symlink(outside / "inner", swap / "a" / "inner-link")
            s = Swapper([(swap / "a", swap / "a-link"), (swap / "a" / "inner", swap / "a" / "inner-link")])
            s.start()
            swapper.append(s)
            time.sleep(0.5)   # swaps while the installer still runs

        try:
            r = self._run_waiting(stub, exe, signals, start_swapping)
        finally:
            for s in swapper:   # the stub has ended: its delete ran while the swaps went on
                s.stopping.set()
                s.join()
        e2e.check_exit(c, r, EXIT_CODE)
        c.expect(bool(swapper) and swapper[0].swaps > 100,
                 f"control: the swapper made {swapper[0].swaps if swapper else 0} swaps")
        after = cleanup.snapshot(outside)
        c.expect(after == outside_before,
                 f"the outside folder changed: before {sorted(outside_before)}, after {sorted(after)}")
        # The run's own listing raced the swaps; the folder is listed again now that they have stopped.
        others = [n for n in self.h.temp_names() if not e2e.STAGING_RE.match(n)]
        c.expect(not others, f"other entries in the temp folder: {others}")
        left = sorted(k for k in self.h.temp_tree())
        e2e.log(f"  note security-swap [{stub.label}]: {swapper[0].swaps if swapper else 0} swaps; "
                f"left in the temp folder: {left}")
        c.done()


CASES = [
    ("security-staging", SecurityCases.security_staging),
    ("security-relaunch", SecurityCases.security_relaunch),
    ("security-swap", SecurityCases.security_swap),
]


def main() -> int:
    return e2e.drive(__doc__, CASES, lambda h, programs: SecurityCases(h, cleanup.build_installer(programs)),
                     "e2e-security", after_case=cleanup.release_signals)


if __name__ == "__main__":
    sys.exit(main())
