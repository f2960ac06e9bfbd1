#!/usr/bin/env python3
"""End-to-end tests of the run's log, both stubs under Wine.

    tests/e2e/log_e2e.py --win32 build/win32/SelfExtractor.exe --win64 build/win64/SelfExtractor.exe
                         [--only PATTERN] [--keep] [--prefix DIR]

log-good: SELFEXTRACTOR_LOG on a good run: stamped lines from the stub's name and bits to
  "exit N", the installer's exit code in between, the parameter tail only by its length.
log-damaged: a damaged archive: exit 5, the cause "The file is damaged or incomplete." logged.
log-unstartable: an installer that is no program: exit 5, "Windows could not start the installer
  program (error N: ...)" logged.
log-pack-flag: sfxtool pack --log: "setup-<yyyyMMdd-HHmmss>-<pid>.log" beside the staging folder
  in the temp folder, ending in "exit N".
log-small-temp: the temp folder on a 1 MiB tmpfs (mounted over the prefix's) and a payload of 3 MiB: exit 5 before
  anything is written, "needs N bytes, M bytes free" logged. Skipped when the mount is refused
  (not root).

Prints "PASS|FAIL|SKIP case [stub]" lines and finally "RESULT passed=N failed=N skipped=N".
"""
from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_e2e as e2e  # noqa: E402

SFXTOOL = e2e.REPO / "build" / "host" / "sfxtool"
STAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ")


class LogCases:
    def __init__(self, h: e2e.Harness):
        self.h = h
        self.probe = h.programs["probe64"].read_bytes()

    def _run_logged(self, stub: e2e.Stub, case: str, entries: list[e2e.Entry], tail: str,
                    probe_exit: int | None = None, extra: dict[str, str] | None = None) -> tuple[e2e.RunResult, str]:
        d = self.h.fresh_case(case, stub)
        exe = self.h.place_stub(stub, d, e2e.zip_payload(entries))
        log_file = d / "run.log"
        r = self.h.run(stub, exe, tail, probe_exit=probe_exit,
                       extra_env={"SELFEXTRACTOR_LOG": self.h.wine.win_path(log_file)} | (extra or {}))
        return r, log_file.read_text(encoding="utf-8") if log_file.exists() else ""

    @staticmethod
    def _check_lines(c: e2e.Checks, stub: e2e.Stub, text: str, exit_code: int) -> list[str]:
        lines = text.splitlines()
        if not c.expect(len(lines) >= 3, f"log too short: {text!r}"):
            return lines
        c.expect(all(STAMP.match(l) for l in lines), f"a line without its time: {text!r}")
        c.expect(re.fullmatch(rf"SelfExtractor \S+, {stub.bits}-bit, process \d+", lines[0][24:]) is not None,
                 f"first line: {lines[0]!r}")
        c.expect(lines[-1][24:] == f"exit {exit_code}", f"last line: {lines[-1]!r}")
        return lines

    def good(self, stub: e2e.Stub) -> None:
        c = e2e.Checks()
        r, text = self._run_logged(stub, "log-good", [e2e.Entry(e2e.DEFAULT_INSTALLER, self.probe),
                                                      e2e.Entry("a.txt", b"a")],
                                   " /S KEY=S3CR3T-T41L", probe_exit=7)
        e2e.check_exit(c, r, 7)
        e2e.check_staging_gone(c, r)
        self._check_lines(c, stub, text, 7)
        for step in ("archive: ZIP at offset", "free space: ", "installer ended: exit code 7", "delete: everything removed"):
            c.expect(step in text, f"no {step!r} line: {text!r}")
        c.expect("S3CR3T" not in text, "the parameter tail is in the log")
        c.done()

    def damaged(self, stub: e2e.Stub) -> None:
        c = e2e.Checks()
        payload_data = b"damaged installer " * 100
        d = self.h.fresh_case("log-damaged", stub)
        payload = bytearray(e2e.zip_payload([e2e.Entry(e2e.DEFAULT_INSTALLER, payload_data, e2e.zipfile.ZIP_STORED)]))
        payload[payload.find(payload_data) + 50] ^= 0xFF   # the data no longer matches its CRC
        exe = self.h.place_stub(stub, d, bytes(payload))
        r = self.h.run(stub, exe, " /S", extra_env={"SELFEXTRACTOR_LOG": self.h.wine.win_path(d / "run.log")})
        text = (d / "run.log").read_text(encoding="utf-8") if (d / "run.log").exists() else ""
        e2e.check_exit(c, r, e2e.FAILURE)
        self._check_lines(c, stub, text, e2e.FAILURE)
        c.expect("cause: The file is damaged or incomplete. Download it again." in text, f"no cause: {text!r}")
        c.done()

    def unstartable(self, stub: e2e.Stub) -> None:
        c = e2e.Checks()
        r, text = self._run_logged(stub, "log-unstartable",
                                   [e2e.Entry(e2e.DEFAULT_INSTALLER, b"MZ but no program at all")], " /S")
        e2e.check_exit(c, r, e2e.FAILURE)
        e2e.check_no_report(c, r)
        self._check_lines(c, stub, text, e2e.FAILURE)
        c.expect(re.search(r"cause: Windows could not start the installer program \(error \d+: .+\)", text) is not None,
                 f"no cause: {text!r}")
        c.done()

    def pack_flag(self, stub: e2e.Stub) -> None:
        c = e2e.Checks()
        d = self.h.fresh_case("log-pack-flag", stub)
        (d / "payload").mkdir()
        (d / "payload" / e2e.DEFAULT_INSTALLER).write_bytes(self.probe)
        exe = d / "setup.exe"
        p = subprocess.run([str(SFXTOOL), "pack", "--stub", str(stub.path), "--payload", str(d / "payload"),
                            "--format", "zip", "--log", "-o", str(exe)], capture_output=True, text=True)
        if p.returncode != 0:
            raise e2e.CaseFail(f"sfxtool pack --log failed: {p.stdout}{p.stderr}")
        r = self.h.run(stub, exe, " /S", probe_exit=3)
        e2e.check_exit(c, r, 3)
        logs = [n for n in r.temp_entries if re.fullmatch(r"setup-\d{8}-\d{6}-\d+\.log", n)]
        c.expect(len(logs) == 1 and len(r.temp_entries) == 1,
                 f"temp folder should hold the log alone, holds {r.temp_entries}")
        if logs:
            self._check_lines(c, stub, (self.h.wine.temp / logs[0]).read_text(encoding="utf-8"), 3)
        c.done()

    def small_temp(self, stub: e2e.Stub) -> None:
        # The prefix's own temp folder, a 1 MiB tmpfs for this case (Wine takes TMP from the
        # registry, not from the Unix environment).
        c = e2e.Checks()
        small = self.h.wine.temp
        m = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(small)], capture_output=True, text=True)
        if m.returncode != 0:
            raise e2e.CaseSkip(f"cannot mount a tmpfs: {m.stderr.strip()}")
        try:
            r, text = self._run_logged(stub, "log-small-temp",
                                       [e2e.Entry(e2e.DEFAULT_INSTALLER, self.probe),
                                        e2e.Entry("big.bin", e2e.pseudo_random(3 << 20, 1), e2e.zipfile.ZIP_STORED)],
                                       " /S")
            e2e.check_exit(c, r, e2e.FAILURE)
            e2e.check_no_report(c, r)
            self._check_lines(c, stub, text, e2e.FAILURE)
            c.expect(re.search(r"needs \d+ bytes, \d+ bytes free", text) is not None, f"no space line: {text!r}")
            c.expect(r.temp_entries == [], f"the small temp folder keeps {r.temp_entries}")
        finally:
            self.h.wine.stop_server()   # nothing of Wine's may hold the mount
            subprocess.run(["umount", str(small)], check=False)
            self.h.wine.start_server()
        c.done()


CASES = [
    ("log-good", LogCases.good),
    ("log-damaged", LogCases.damaged),
    ("log-unstartable", LogCases.unstartable),
    ("log-pack-flag", LogCases.pack_flag),
    ("log-small-temp", LogCases.small_temp),
]

if __name__ == "__main__":
    sys.exit(e2e.drive(__doc__, CASES, lambda h, _programs: LogCases(h), "e2e-log"))
