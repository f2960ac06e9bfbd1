#!/usr/bin/env python3
"""End-to-end runs with payloads larger than a 32-bit process could hold: both stubs under Wine.

    tests/e2e/big_e2e.py --win32 build/win32/SelfExtractor.exe --win64 build/win64/SelfExtractor.exe
                         --sfxtool build/host/sfxtool [--only PATTERN]

Cases, each on each stub:
  - zip-over-2gib: a ZIP whose one data entry is 2.2 GiB (deflated, sizes in the local header);
  - pack-over-1gib: `sfxtool pack` of a folder holding a 1.1 GiB file (7z, LZMA; the big file a
    folder of its own, by the default --block-size).
Each run must start the probe installer with every byte right (its listing carries each file's
size and CRC-32), return the probe's exit code, leave no staging folder, and keep the stub's peak
resident set (its process's max RSS, from GNU time) under 256 MiB.
Prints "PASS|FAIL|SKIP case [stub]" lines and "RESULT passed=N failed=N skipped=N".
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_e2e  # noqa: E402
from run_e2e import CaseFail, Checks, check_staging_gone, listing_tree, diff_trees  # noqa: E402

REPO = run_e2e.REPO
WINE = {"32": "/usr/lib/wine/wine", "64": run_e2e.WINE64}
RSS_LIMIT = 256 << 20
BLOCK = 1 << 20


def pattern_block(seed: int) -> bytes:
    return run_e2e.pseudo_random(BLOCK, seed)


def write_pattern(path: Path, size: int) -> int:
    """A file of `size` bytes of text-like lines, each 4 KiB stamped with its number (no two 4 KiB
    blocks equal, and quick for LZMA's match finder); returns its CRC-32."""
    line = b"The quick brown fox jumps over the lazy dog 0123456789 ABCDEFGHIJ\r\n"
    unit = bytearray((line * (4096 // len(line) + 1))[:4096])
    crc = 0
    with open(path, "wb") as out:
        for start in range(0, size, BLOCK):
            chunk = bytearray()
            for k in range(start // 4096, (start + BLOCK) // 4096):
                unit[:8] = struct.pack("<Q", k)
                chunk += unit
            chunk = bytes(chunk[: min(BLOCK, size - start)])
            out.write(chunk)
            crc = zlib.crc32(chunk, crc)
    return crc


def write_big_zip(path: Path, installer: bytes, name: str, size: int, seed: int) -> int:
    """A ZIP written by hand: the installer, then `name` of `size` bytes, deflated, with its sizes
    and CRC in the local header (no ZIP64: every size fits 32 bits), then the central directory.
    Returns the big entry's CRC-32."""
    entries = []
    with open(path, "wb") as out:
        def local(name_b: bytes, method: int) -> int:
            at = out.tell()
            out.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0x800, method, 0, 0x21, 0, 0, 0, len(name_b), 0))
            out.write(name_b)
            return at

        def finish(at: int, name_b: bytes, method: int, crc: int, packed: int, unpacked: int) -> None:
            end = out.tell()
            out.seek(at + 14)
            out.write(struct.pack("<III", crc, packed, unpacked))
            out.seek(end)
            entries.append((name_b, method, crc, packed, unpacked, at))

        n = run_e2e.DEFAULT_INSTALLER.encode()
        at = local(n, 0)
        out.write(installer)
        finish(at, n, 0, zlib.crc32(installer), len(installer), len(installer))

        n = name.encode()
        at = local(n, 8)
        start = out.tell()
        deflate = zlib.compressobj(1, zlib.DEFLATED, -15)
        block = bytearray(pattern_block(seed))
        crc = 0
        for i in range((size + BLOCK - 1) // BLOCK):
            block[:8] = struct.pack("<Q", i)
            chunk = bytes(block[: min(BLOCK, size - i * BLOCK)])
            crc = zlib.crc32(chunk, crc)
            out.write(deflate.compress(chunk))
        out.write(deflate.flush())
        finish(at, n, 8, crc, out.tell() - start, size)

        cd = out.tell()
        for name_b, method, c, packed, unpacked, offset in entries:
            out.write(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0x800, method, 0, 0x21, c, packed,
                                  unpacked, len(name_b), 0, 0, 0, 0, 0, offset) + name_b)
        out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), out.tell() - cd, cd, 0))
    return crc


class Big:
    def __init__(self, wine: run_e2e.Wine, programs: dict[str, Path], sfxtool: Path):
        self.wine = wine
        self.programs = programs
        self.sfxtool = sfxtool
        self.root = wine.drive_c / "e2e-big"
        self.probe = programs["probe64"].read_bytes()

    def run(self, stub: run_e2e.Stub, exe: Path, probe_exit: int) -> tuple[int | None, int, dict | None]:
        """Runs the installer straight under Wine (so that GNU time measures the stub's own
        process); returns its exit code (low 8 bits), its max RSS in bytes and the probe's report."""
        out = exe.parent / "out"
        out.mkdir(exist_ok=True)
        report, rss = out / "report.json", out / "rss.txt"
        env = self.wine.env(run_e2e.BASE_OVERRIDES, {"SFX_PROBE_REPORT": self.wine.win_path(report),
                                                     "SFX_PROBE_EXIT": str(probe_exit), "SFX_PROBE_LIST_UP": "0"})
        with open(out / "wine.log", "wb") as log:
            try:
                r = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(rss), WINE[stub.bits], str(exe), "/big"],
                                   env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                   timeout=stub.timeout)
            except subprocess.TimeoutExpired:
                self.wine.stop_server()
                self.wine.start_server()
                raise CaseFail(f"the installer did not end within {stub.timeout} s")
        peak = int(rss.read_text().split()[-1]) * 1024 if rss.exists() else 0
        rep = json.loads(report.read_text(encoding="utf-8")) if report.exists() else None
        return r.returncode, peak, rep

    def check(self, stub: run_e2e.Stub, exe: Path, want: dict, probe_exit: int) -> None:
        code, peak, rep = self.run(stub, exe, probe_exit)
        temp = sorted(os.listdir(self.wine.temp)) if self.wine.temp.exists() else []
        r = run_e2e.RunResult(code, f"exit {code}", rep, temp)
        c = Checks()
        c.expect(code == probe_exit, f"exit code: want {probe_exit}, got {code}")
        if c.expect(rep is not None, "the installer did not run (no probe report)"):
            d = diff_trees(want, listing_tree(rep))
            c.expect(not d, f"unpacked files differ: {d}")
        check_staging_gone(c, r)
        c.expect(0 < peak < RSS_LIMIT, f"peak resident set {peak / 2**20:.0f} MiB, want under 256 MiB")
        run_e2e.log(f"    {stub.label}: peak resident set {peak / 2**20:.0f} MiB")
        c.done()

    def zip_over_2gib(self, stub: run_e2e.Stub) -> None:
        d = self.root / f"zip-{stub.label}"
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir(parents=True)
        size = 2200 << 20
        archive = self.root / "big.zip"
        if "zip-crc" not in self.__dict__:
            self.__dict__["zip-crc"] = write_big_zip(archive, self.probe, "data/big.bin", size, 31)
        crc = self.__dict__["zip-crc"]
        exe = d / "Orvak Setup.exe"
        with open(exe, "wb") as out:
            out.write(stub.path.read_bytes())
            with open(archive, "rb") as a:
                shutil.copyfileobj(a, out, 1 << 22)
        want = {run_e2e.DEFAULT_INSTALLER: ("file", len(self.probe), f"{zlib.crc32(self.probe):08x}"),
                "data": ("dir",), "data/big.bin": ("file", size, f"{crc:08x}")}
        try:
            self.check(stub, exe, want, 21)
        finally:
            shutil.rmtree(d, ignore_errors=True)

    def pack_over_1gib(self, stub: run_e2e.Stub) -> None:
        if not self.sfxtool.is_file():
            raise CaseFail(f"sfxtool not built: {self.sfxtool}")
        d = self.root / f"pack-{stub.label}"
        shutil.rmtree(d, ignore_errors=True)
        src = d / "payload"
        (src / "media").mkdir(parents=True)
        size = 1100 << 20
        (src / run_e2e.DEFAULT_INSTALLER).write_bytes(self.probe)
        crc = write_pattern(src / "media" / "disk.img", size)
        (src / "readme.txt").write_bytes(b"a file after the big one\r\n")
        exe = d / "Orvak Setup.exe"
        r = subprocess.run([str(self.sfxtool), "pack", "--stub", str(stub.path), "--payload", str(src), "-o", str(exe)],
                           capture_output=True, text=True, timeout=1800)
        try:
            if r.returncode != 0:
                raise CaseFail(f"sfxtool pack failed ({r.returncode}): {r.stderr.strip()[-400:]}")
            shutil.rmtree(src)
            want = {run_e2e.DEFAULT_INSTALLER: ("file", len(self.probe), f"{zlib.crc32(self.probe):08x}"),
                    "media": ("dir",), "media/disk.img": ("file", size, f"{crc:08x}"),
                    "readme.txt": ("file", 26, f"{zlib.crc32(b'a file after the big one' + bytes([13, 10])):08x}")}
            self.check(stub, exe, want, 22)
        finally:
            shutil.rmtree(d, ignore_errors=True)


CASES = [("zip-over-2gib", Big.zip_over_2gib), ("pack-over-1gib", Big.pack_over_1gib)]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--win32", type=Path)
    ap.add_argument("--win64", type=Path)
    ap.add_argument("--sfxtool", type=Path, default=REPO / "build" / "host" / "sfxtool")
    ap.add_argument("--only", help="substring of 'case [stub]'")
    ap.add_argument("--prefix", type=Path, default=Path(os.environ.get("SFX_WINEPREFIX", REPO / "build" / "wineprefix")))
    ap.add_argument("--timeout32", type=int, default=1500, help="seconds per 32-bit run (emulated)")
    ap.add_argument("--timeout64", type=int, default=600)
    args = ap.parse_args()
    stubs = []
    if args.win32:
        stubs.append(run_e2e.Stub("win32", args.win32.resolve(), "32", args.timeout32))
    if args.win64:
        stubs.append(run_e2e.Stub("win64", args.win64.resolve(), "64", args.timeout64))
    programs = run_e2e.build_programs(REPO / "build" / "e2e-programs")
    wine = run_e2e.setup_wine(args.prefix)
    wine.stop_server()
    wine.start_server()
    big = Big(wine, programs, args.sfxtool.resolve())
    tally = run_e2e.Tally(wine)
    try:
        for name, fn in CASES:
            for stub in stubs:
                if not args.only or args.only in f"{name} [{stub.label}]":
                    tally.run(name, stub, lambda: fn(big, stub))
    finally:
        shutil.rmtree(big.root, ignore_errors=True)
        wine.clear_temp()
        wine.stop_server()
    return tally.result()


if __name__ == "__main__":
    sys.exit(main())
