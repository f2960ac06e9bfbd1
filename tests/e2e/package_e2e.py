#!/usr/bin/env python3
"""End-to-end test of the sfxtool package: installers packed by an unpacked package's own sfxtool,
with the stubs it carries, run under Wine.

    tests/e2e/package_e2e.py --root DIR [--only PATTERN] [--keep] [--prefix DIR]

DIR is a package unpacked with `dpkg -x` (DIR/usr/bin/sfxtool, DIR/usr/share/sfxtool/stubs/...).
Cases, each packed from a folder holding the probe installer and data files, with the tool started
from a folder of its own:
  - default-stub: `pack` without --stub: the installer starts with the package's win32 stub and runs
    under 32-bit Wine (skipped, loudly, where the 32-bit route is unavailable);
  - win64-stub: `pack --stub win64`: starts with the package's win64 stub and runs under wine64.
Each run checks the probe's exit code, its parameters, the unpacked files against the source folder
and that the staging folder is gone. Prints "PASS|FAIL|SKIP case [stub]" lines and finally
"RESULT passed=N failed=N skipped=N"; exits non-zero on any failure.
"""
from __future__ import annotations

import argparse
import os
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_e2e as e2e  # noqa: E402

REPO = e2e.REPO
WORK = REPO / "build" / "e2e-package-work"


def payload(probe: bytes) -> list[e2e.Entry]:
    return [
        e2e.Entry(e2e.DEFAULT_INSTALLER, probe),
        e2e.Entry("docs/readme.txt", e2e.mixed_data(30_000, 21)),
        e2e.Entry("data/blob.bin", e2e.pseudo_random(20_000, 22)),
    ]


class PackageCases:
    def __init__(self, h: e2e.Harness, root: Path):
        self.h, self.root = h, root
        self.sfxtool = root / "usr" / "bin" / "sfxtool"
        self.probe = h.programs["probe64"].read_bytes()

    def packed_run(self, stub: e2e.Stub, stub_args: list[str], case: str) -> None:
        work = WORK / case
        shutil.rmtree(work, ignore_errors=True)
        folder = work / "payload"
        entries = payload(self.probe)
        for e in entries:
            (folder / e.name).parent.mkdir(parents=True, exist_ok=True)
            (folder / e.name).write_bytes(e.data)
        out = work / "setup.exe"
        # From a folder unrelated to the package and the repository: the tool finds its stubs by
        # its own location only.
        cwd = work / "elsewhere"
        cwd.mkdir()
        r = subprocess.run([str(self.sfxtool), "pack", *stub_args, "--payload", str(folder), "-o", str(out)],
                           cwd=cwd, capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=600)
        if r.returncode != 0:
            raise e2e.CaseFail(f"sfxtool pack exit {r.returncode}: {r.stderr.strip()}")
        c = e2e.Checks()
        image = stub.path.read_bytes()
        installer = out.read_bytes()
        # pack writes the header's CheckSum over the whole installer: the image is the stub's but
        # for those 4 bytes (at the optional header's offset 64).
        checksum = struct.unpack_from("<I", image, 0x3C)[0] + 24 + 64
        same = installer[:checksum] == image[:checksum] and \
            installer[checksum + 4:len(image)] == image[checksum + 4:]
        c.expect(same, f"the installer does not start with the package's {stub.label} stub {stub.path}")
        if stub.bits == "32" and not self.h.wine.win32_ok:
            c.done()   # what could be checked without Wine passed; the run itself cannot happen
            raise e2e.CaseSkip(f"32-bit route unavailable: {self.h.wine.win32_reason}")
        d = self.h.fresh_case(case, stub)
        exe = d / e2e.STUB_NAME
        exe.write_bytes(installer)
        res = self.h.run(stub, exe, " /S --from=package", probe_exit=17)
        e2e.check_exit(c, res, 17)
        e2e.check_report(c, res, " /S --from=package", want_tree=e2e.expected_tree(entries))
        e2e.check_staging_gone(c, res)
        c.done()

    def default_stub(self, stub: e2e.Stub) -> None:
        self.packed_run(stub, [], "package-default-stub")

    def win64_stub(self, stub: e2e.Stub) -> None:
        self.packed_run(stub, ["--stub", "win64"], "package-win64-stub")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--root", type=Path, required=True)
    ap.add_argument("--only")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--prefix", type=Path, default=Path(os.environ.get("SFX_WINEPREFIX", REPO / "build" / "wineprefix")))
    ap.add_argument("--programs", type=Path, default=REPO / "build" / "e2e-programs")
    ap.add_argument("--timeout32", type=int, default=120)
    ap.add_argument("--timeout64", type=int, default=60)
    args = ap.parse_args()
    root = args.root.resolve()
    stubs_dir = root / "usr" / "share" / "sfxtool" / "stubs"
    if not (root / "usr" / "bin" / "sfxtool").is_file():
        raise SystemExit(f"package-e2e: no usr/bin/sfxtool under {root}")

    cases = [
        ("default-stub", PackageCases.default_stub,
         e2e.Stub("win32", stubs_dir / "win32" / "SelfExtractor.exe", "32", args.timeout32)),
        ("win64-stub", PackageCases.win64_stub,
         e2e.Stub("win64", stubs_dir / "win64" / "SelfExtractor.exe", "64", args.timeout64)),
    ]
    programs = e2e.build_programs(args.programs)
    wine = e2e.setup_wine(args.prefix)
    e2e.TEMP_WIN[0] = wine.temp_win
    if not wine.win32_ok:
        bar = "!" * 78
        e2e.log(f"{bar}\n!! 32-bit route UNAVAILABLE: {wine.win32_reason}\n!! the win32 run is SKIPPED "
                f"and does not count as passed\n{bar}")
    wine.stop_server()
    wine.start_server()
    h = e2e.Harness(wine, programs, args.keep)
    h.root = wine.drive_c / "e2e-package"
    shutil.rmtree(h.root, ignore_errors=True)
    package = PackageCases(h, root)
    tally = e2e.Tally(wine)
    t0 = time.monotonic()
    try:
        for name, fn, stub in cases:
            if e2e.selected(args.only, name, stub.label):
                tally.run(name, stub, lambda: fn(package, stub), needs_win32_route=False)
    finally:
        wine.clear_temp()
        wine.stop_server()
        if not args.keep:
            shutil.rmtree(h.root, ignore_errors=True)
            shutil.rmtree(WORK, ignore_errors=True)
    e2e.log(f"({time.monotonic() - t0:.0f}s)")
    return tally.result()


if __name__ == "__main__":
    sys.exit(main())
