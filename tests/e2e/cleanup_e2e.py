#!/usr/bin/env python3
"""End-to-end tests of the staging folder's clean-up: both stubs under Wine.

    tests/e2e/cleanup_e2e.py --win32 build/win32/SelfExtractor.exe --win64 build/win64/SelfExtractor.exe
                             [--only PATTERN] [--keep] [--prefix DIR]

cleanup-tree: the installer (tests/e2e/programs/cleanup_installer.c) leaves a tree behind, marks two
  files read-only and leaves a child running that holds a file in the staging folder open. While it
  waits, the test plants two Unix symbolic links into the staging folder, pointing at a folder
  outside it: a Windows program cannot make links under Wine (CreateSymbolicLinkW reports success
  and makes nothing, setting a junction fails), and Wine reports a Unix link to a folder as
  FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT. Checks: the stub exits with the
  installer's code; the folder outside and its files are untouched; once the child has ended, the
  staging folder holds nothing but the held file, the links (Wine's RemoveDirectoryW does not remove
  a Unix link to a folder that holds files; Windows removes the link) and the folders leading to
  them; nothing else is removed.
cleanup-relaunch-log: relaunch mode with an installer that writes a log by relative path into its
  current folder, the private GUID folder: that folder is gone afterwards.

Reuses the harness of run_e2e.py. Prints "PASS|FAIL|SKIP case [stub]" lines and finally
"RESULT passed=N failed=N skipped=N"; exits non-zero on any failure.
"""
from __future__ import annotations

import os
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_e2e as e2e  # noqa: E402

REPO = e2e.REPO
INSTALLER_SOURCE = e2e.PROGRAM_SOURCES / "cleanup_installer.c"
EXIT_CODE = 23


def build_installer(out: Path) -> Path:
    """The clean-up installer, 64-bit, statically linked, rebuilt when its source is newer."""
    out.mkdir(parents=True, exist_ok=True)
    target = out / "cleanup_installer64.exe"
    if not target.exists() or target.stat().st_mtime < INSTALLER_SOURCE.stat().st_mtime:
        r = subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-Wall", "-static", "-mwindows", "-o",
                            str(target), str(INSTALLER_SOURCE), "-lshell32", "-ladvapi32", "-luser32"], capture_output=True, text=True)
        if r.returncode != 0:
            raise SystemExit(f"cleanup-e2e: building {target.name} failed:\n{r.stderr}")
    return target


def snapshot(root: Path) -> dict[str, tuple]:
    """Every entry under `root` (links not followed): kind, content or target, and write bits."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            p = Path(dirpath) / name
            st = os.lstat(p)
            rel = str(p.relative_to(root))
            if stat.S_ISLNK(st.st_mode):
                tree[rel] = ("link", os.readlink(p))
            elif stat.S_ISDIR(st.st_mode):
                tree[rel] = ("dir", st.st_mode & 0o222)
            else:
                tree[rel] = ("file", p.read_bytes(), st.st_mode & 0o222)
    return tree


def await_file(path: Path, seconds: float, alive=lambda: True) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if path.exists():
            return True
        if not alive():
            return path.exists()
        time.sleep(0.05)
    return False


def key_values(path: Path) -> dict[str, str]:
    return dict(line.split("=", 1) for line in path.read_text("utf-8").splitlines() if "=" in line)


class CleanupCases:
    def __init__(self, h: e2e.Harness, installer: Path):
        self.h = h
        self.installer = installer.read_bytes()

    def cleanup_tree(self, stub: e2e.Stub) -> None:
        d = self.h.fresh_case("cleanup-tree", stub)
        signals, outside = d / "signals", d / "outside"
        signals.mkdir()
        (outside / "inner").mkdir(parents=True)
        (outside / "keep.txt").write_bytes(b"outside the staging folder\n")
        (outside / "inner" / "deep.bin").write_bytes(e2e.pseudo_random(5000, 3))
        (outside / "empty").mkdir()
        outside_before = snapshot(outside)
        entries = [
            e2e.Entry(e2e.DEFAULT_INSTALLER, self.installer),
            e2e.Entry("readonly.txt", b"marked read-only by the installer\n"),
            e2e.Entry("control.txt", b"read-only as well; the installer tries to delete it\n"),
            e2e.Entry("data/a.txt", e2e.mixed_data(20_000, 5)),
            e2e.Entry("data/sub/b.bin", e2e.pseudo_random(30_000, 6)),
            e2e.Entry("held/sibling.txt", b"beside the held file\n"),
        ]
        exe = self.h.place_stub(stub, d, e2e.zip_payload(entries))
        case_before = {k: v for k, v in snapshot(d).items() if not k.startswith(("signals", f"{d.name}.out"))}
        env = {"SFX_CLEANUP_SIGNALS": self.h.wine.win_path(signals), "SFX_CLEANUP_EXIT": str(EXIT_CODE)}

        result: list = []

        def run() -> None:
            try:
                result.append(self.h.run(stub, exe, " /S", extra_env=env))
            except Exception as e:  # reported below as a failure of the case
                result.append(e)

        runner = threading.Thread(target=run)
        runner.start()
        c = e2e.Checks()
        planted: list[str] = []
        try:
            if not await_file(signals / "installer-ready", stub.timeout + 30, runner.is_alive):
                raise e2e.CaseFail("the installer never reported ready (did it start?)")
            ready = key_values(signals / "installer-ready")
            # Controls: under Wine too, the read-only mark stops a plain delete and the child's
            # open handle stops a delete; otherwise the checks below could not fail.
            c.expect(ready.get("readonly-set") == "1" and int(ready.get("readonly-attributes", "0")) & 1,
                     f"control: the installer could not mark readonly.txt read-only: {ready}")
            c.expect(ready.get("control-deleted") == "0",
                     f"control: a read-only file was deleted without clearing the mark: {ready}")
            c.expect(ready.get("held-deleted") == "0",
                     f"control: the held file could be deleted while held: {ready}")
            stagings = [n for n in os.listdir(self.h.wine.temp) if e2e.STAGING_RE.match(n)]
            if len(stagings) != 1:
                raise e2e.CaseFail(f"want one staging folder while the installer waits, temp holds {stagings}")
            staging = self.h.wine.temp / stagings[0]
            os.symlink(outside, staging / "link-out")
            os.symlink(outside / "inner", staging / "data" / "link-in")
            planted += ["link-out", os.path.join("data", "link-in")]
        finally:
            (signals / "planted").write_text("planted\n")
            runner.join()
        r = result[0]
        if isinstance(r, Exception):
            raise e2e.CaseFail(f"the run failed in the harness: {type(r).__name__}: {r}")
        e2e.check_exit(c, r, EXIT_CODE)

        # The child still holds its file: let it go, then look at what stayed.
        (signals / "release").write_text("release\n")
        c.expect(await_file(signals / "child-done", 60), "the child did not end after its release")
        left = snapshot(staging) if staging.exists() else {}
        allowed = {os.path.join("held", "held.txt"), "held"}
        for link in planted:
            allowed.add(link)
            parent = os.path.dirname(link)
            while parent:
                allowed.add(parent)
                parent = os.path.dirname(parent)
        c.expect(os.path.join("held", "held.txt") in left,
                 f"the held file went although its child still held it: {sorted(left)}")
        c.expect(not set(left) - allowed, f"left in the staging folder besides the held file and the links: "
                                          f"{sorted(set(left) - allowed)}")
        for link in planted:
            if link in left:
                c.expect(left[link][0] == "link", f"{link} is no longer a link: {left[link]}")
        c.expect(snapshot(outside) == outside_before,
                 f"the folder outside changed: before {sorted(outside_before)}, after {sorted(snapshot(outside))}")
        case_after = {k: v for k, v in snapshot(d).items() if not k.startswith(("signals", f"{d.name}.out"))}
        c.expect(case_after == case_before, "the stub's own folder changed")
        others = [n for n in r.temp_entries if n != staging.name]
        c.expect(not others, f"other entries in the temp folder: {others}")
        e2e.log(f"  note cleanup-tree [{stub.label}]: left in the staging folder: {sorted(left)}")
        c.done()

    def cleanup_relaunch_log(self, stub: e2e.Stub) -> None:
        d = self.h.fresh_case("cleanup-relaunch-log", stub)
        signals = d / "signals"
        signals.mkdir()
        stub_dir = d / "with-dll"
        exe = self.h.place_stub(stub, stub_dir, e2e.zip_payload([e2e.Entry(e2e.DEFAULT_INSTALLER, self.installer)]))
        (stub_dir / "x.dll").write_bytes(b"not really a library")   # relaunch mode
        env = {"SFX_CLEANUP_SIGNALS": self.h.wine.win_path(signals), "SFX_CLEANUP_EXIT": str(EXIT_CODE),
               "SFX_CLEANUP_MODE": "log"}
        r = self.h.run(stub, exe, " /S", extra_env=env)
        c = e2e.Checks()
        e2e.check_exit(c, r, EXIT_CODE)
        written = signals / "log-written"
        if c.expect(written.exists(), "the installer did not write its log"):
            cwd = written.read_text("utf-8").strip().rstrip("\\")
            folder = cwd.rsplit("\\", 1)[-1]
            c.expect(cwd.lower().startswith(self.h.wine.temp_win.rstrip("\\").lower() + "\\")
                     and e2e.GUID_RE.match(folder) is not None,
                     f"the installer's current folder {cwd!r} is not the private GUID folder")
        e2e.check_staging_gone(c, r)
        c.expect(not r.guid_dirs(), f"the GUID folder stayed: "
                                    f"{[k for k in r.temp_tree if e2e.GUID_RE.match(k.split(os.sep)[0])]}")
        c.expect(not r.temp_entries, f"left in the temp folder: {r.temp_entries}")
        c.done()


CASES = [
    ("cleanup-tree", CleanupCases.cleanup_tree),
    ("cleanup-relaunch-log", CleanupCases.cleanup_relaunch_log),
]


def release_signals(h: e2e.Harness, name: str, stub: e2e.Stub) -> None:
    """A child still waiting for its release lets go now; the server stop ends it anyway."""
    signals = h.case_dir(name, stub) / "signals"
    if signals.is_dir():
        (signals / "planted").write_text("planted\n")
        (signals / "release").write_text("release\n")


def main() -> int:
    return e2e.drive(__doc__, CASES, lambda h, programs: CleanupCases(h, build_installer(programs)),
                     "e2e-cleanup", after_case=release_signals)


if __name__ == "__main__":
    sys.exit(main())
