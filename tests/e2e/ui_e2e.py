#!/usr/bin/env python3
"""End-to-end tests of what people see: the progress window, Cancel, the failure message and the
silence of a silent switch; both stubs under Wine on a display server (Xvfb).

    xvfb-run -a tests/e2e/ui_e2e.py --win32 build/win32/SelfExtractor.exe --win64 build/win64/SelfExtractor.exe
                                    [--only PATTERN] [--keep] [--prefix DIR]

Installers are made by sfxtool pack (--progress, --failure-message, --version-info
FileDescription=...). A watcher program of our own (tests/e2e/programs/watcher.c) in the same
prefix finds the stub's windows with EnumWindows and reads and clicks them as a person would. The
prefix is a private one started with the display (a prefix whose server started without DISPLAY
keeps every window off).

ui-progress: a large unpack shows the window after a second: the installer's title, the bar's text
  ("Unpacking... N %"), a standard Cancel button; it is gone before the installer starts (the
  installer looks for it).
ui-cancel: a click on Cancel ends the stub with 1223, starting nothing, with no staging folder left.
ui-failure-box: a truncated installer shows the failure message box, titled by the installer, with
  the message and the cause line; the stub ends with 5 once it is answered.
ui-silent: the same installer with /S ends with 5 at once, showing no window at all.

Prints "PASS|FAIL|SKIP case [stub]" lines and finally "RESULT passed=N failed=N skipped=N"; exits
non-zero on any failure.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import cleanup_e2e as cleanup  # noqa: E402
import run_e2e as e2e  # noqa: E402

REPO = e2e.REPO
SFXTOOL = REPO / "build" / "host" / "sfxtool"
TITLE = "Orvak ZEB Setup (UI test)"
MESSAGE = "Setup could not start. Please download it again."
DAMAGED = "The file is damaged or incomplete. Download it again."
EXIT_CODE = 19


class DisplayWine(e2e.Wine):
    """The harness's Wine, with the display kept for every program it starts."""

    def env(self, overrides: str = e2e.BASE_OVERRIDES, extra: dict[str, str] | None = None) -> dict[str, str]:
        e = super().env(overrides, extra)
        e["DISPLAY"] = os.environ["DISPLAY"]
        return e


def build_watcher(out: Path) -> Path:
    source = e2e.PROGRAM_SOURCES / "watcher.c"
    target = out / "watcher64.exe"
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        r = subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-Wall", "-static", "-municode", "-o",
                            str(target), str(source)], capture_output=True, text=True)
        if r.returncode != 0:
            raise SystemExit(f"ui-e2e: building watcher failed:\n{r.stderr}")
    return target


class UiCases:
    def __init__(self, h: e2e.Harness, installer: Path, watcher: Path):
        self.h = h
        self.installer = installer
        self.watcher = watcher

    def _pack(self, stub: e2e.Stub, d: Path, files: int, extra: list[str]) -> Path:
        key = (stub.label, files, tuple(extra))
        cached = self.h.cache.get(key)
        if cached is not None:   # the same installer for the next case
            exe = d / "setup.exe"
            shutil.copy(cached, exe)
            return exe
        exe = self._pack_new(stub, d, files, extra)
        keep = self.h.root / f"setup-{stub.label}-{files}-{len(self.h.cache)}.exe"
        shutil.copy(exe, keep)
        self.h.cache[key] = keep
        return exe

    def _pack_new(self, stub: e2e.Stub, d: Path, files: int, extra: list[str]) -> Path:
        payload = d / "payload"
        (payload / "files").mkdir(parents=True)
        shutil.copy(self.installer, payload / e2e.DEFAULT_INSTALLER)
        for i in range(files):  # many files: an unpack that takes a few seconds under Wine
            (payload / "files" / f"f{i:05d}.bin").write_bytes(e2e.pseudo_random(4096, i))
        exe = d / "setup.exe"
        r = subprocess.run([str(SFXTOOL), "pack", "--stub", str(stub.path), "--payload", str(payload),
                            "--format", "zip", "--version-info", f"FileDescription={TITLE}", *extra,
                            "-o", str(exe)], capture_output=True, text=True)
        if r.returncode != 0:
            raise e2e.CaseFail(f"sfxtool pack failed: {r.stdout}{r.stderr}")
        return exe

    def _watch(self, args: list[str], seconds: int) -> tuple[threading.Thread, Path, list]:
        """Starts the watcher; its report lands in the returned file."""
        report = self.h.root / f"watch-{time.monotonic_ns()}.txt"
        done: list = []

        def run() -> None:
            with open(os.devnull, "wb") as null:
                done.append(subprocess.run([e2e.WINE64, str(self.watcher), *args[:-1], str(seconds),
                                            self.h.wine.win_path(report), *args[-1:]],
                                           env=self.h.wine.env(), stdin=subprocess.DEVNULL, stdout=null,
                                           stderr=null, timeout=seconds + 120).returncode)

        t = threading.Thread(target=run)
        t.start()
        return t, report, done

    def _run(self, stub: e2e.Stub, exe: Path, tail: str, env: dict[str, str]) -> e2e.RunResult:
        return self.h.run(stub, exe, tail, extra_env=env)

    def _progress(self, stub: e2e.Stub, case: str, click: bool) -> tuple[dict, e2e.RunResult, Path]:
        d = self.h.fresh_case(case, stub)
        exe = self._pack(stub, d, 6000, ["--progress"])
        signals = d / "signals"
        signals.mkdir()
        env = {"SFX_CLEANUP_SIGNALS": self.h.wine.win_path(signals), "SFX_CLEANUP_EXIT": str(EXIT_CODE),
               "SFX_CLEANUP_MODE": "windows"}
        watcher, report, _ = self._watch(["progress", TITLE, "cancel" if click else "look"], stub.timeout)
        r = self._run(stub, exe, "", env)
        watcher.join()
        seen = cleanup.key_values(report) if report.exists() else {}
        return seen, r, signals

    def ui_progress(self, stub: e2e.Stub) -> None:
        seen, r, signals = self._progress(stub, "ui-progress", False)
        c = e2e.Checks()
        e2e.check_exit(c, r, EXIT_CODE)
        if c.expect(seen.get("found") == "1", f"no window titled {TITLE!r} appeared: {seen}"):
            c.expect(seen.get("cancel-class", "").lower() == "button" and seen.get("cancel-text") == "Cancel",
                     f"want a standard Cancel button: {seen}")
            bar = seen.get("bar", "")
            if c.expect(bar.startswith("Unpacking... ") and bar.endswith(" %"),
                        f"the bar does not name its percentage: {bar!r}"):
                percent = int(bar[len("Unpacking... "):-2])
                c.expect(0 < percent <= 100, f"the bar does not move: {bar!r} a second after it showed")
        at_start = signals / "windows-at-start"
        if c.expect(at_start.exists(), "the installer did not run"):
            c.expect(at_start.read_text().strip() == "progress=0", "the window still showed as the installer started")
        e2e.check_staging_gone(c, r)
        e2e.log(f"  note ui-progress [{stub.label}]: {seen}")
        c.done()

    def ui_cancel(self, stub: e2e.Stub) -> None:
        seen, r, signals = self._progress(stub, "ui-cancel", True)
        c = e2e.Checks()
        c.expect(seen.get("clicked") == "1", f"the watcher did not click Cancel: {seen}")
        e2e.check_exit(c, r, 1223)
        c.expect(not (signals / "windows-at-start").exists(), "the installer started after Cancel")
        c.expect(not r.temp_entries, f"left in the temp folder: {r.temp_entries}")
        c.done()

    def _truncated(self, stub: e2e.Stub, case: str) -> Path:
        d = self.h.fresh_case(case, stub)
        exe = self._pack(stub, d, 50, ["--failure-message", MESSAGE])
        data = exe.read_bytes()
        image = stub.path.stat().st_size
        exe.write_bytes(data[:image + (len(data) - image) // 2])   # a download cut in the middle
        return exe

    def ui_failure_box(self, stub: e2e.Stub) -> None:
        exe = self._truncated(stub, "ui-failure-box")
        watcher, report, _ = self._watch(["box", TITLE, ""], stub.timeout)
        r = self._run(stub, exe, "", {})
        watcher.join()
        seen = cleanup.key_values(report) if report.exists() else {}
        c = e2e.Checks()
        e2e.check_exit(c, r, 5)
        if c.expect(seen.get("found") == "1", f"no message box titled {TITLE!r}: {seen}"):
            c.expect(seen.get("text") == f"{MESSAGE}||{DAMAGED}", f"the box says {seen.get('text')!r}")
        c.done()

    def ui_silent(self, stub: e2e.Stub) -> None:
        exe = self._truncated(stub, "ui-silent")
        watcher, report, _ = self._watch(["none", ""], 8)
        started = time.monotonic()
        r = self._run(stub, exe, " /S", {})
        seconds = time.monotonic() - started
        watcher.join()
        seen = cleanup.key_values(report) if report.exists() else {}
        c = e2e.Checks()
        e2e.check_exit(c, r, 5)
        c.expect(seen.get("found") == "0", f"a window appeared: {seen}")
        e2e.log(f"  note ui-silent [{stub.label}]: ended with 5 after {seconds:.1f}s")
        c.done()


CASES = [
    ("ui-progress", UiCases.ui_progress),
    ("ui-cancel", UiCases.ui_cancel),
    ("ui-failure-box", UiCases.ui_failure_box),
    ("ui-silent", UiCases.ui_silent),
]


def refusal(_args) -> str | None:
    if not os.environ.get("DISPLAY"):
        return "ui-e2e: no DISPLAY: run it under xvfb-run -a"
    if not SFXTOOL.exists():
        return f"ui-e2e: {SFXTOOL} is not built"
    return None


def main() -> int:
    # A prefix of its own, its server started with the display: the windows of this run can show.
    return e2e.drive(__doc__, CASES,
                     lambda h, programs: UiCases(h, cleanup.build_installer(programs), build_watcher(programs)),
                     "e2e-ui", prefix=REPO / "build" / "wineprefix-ui", timeout32=240, timeout64=90,
                     prepare=refusal,
                     wrap_wine=lambda w: DisplayWine(w.prefix, w.temp, w.temp_win, w.win32_ok, w.win32_reason))


if __name__ == "__main__":
    sys.exit(main())
