#!/usr/bin/env python3
"""Names as Windows sees them, under Wine: the upcase table, pack's refusals, verify against the stubs.

    tests/e2e/names_e2e.py --win32 build/win32/SelfExtractor.exe --win64 build/win64/SelfExtractor.exe
                           [--sfxtool build/host/sfxtool]
                           [--table build/host/SelfExtractor/generated/UpcaseTable.h] [--only PATTERN] [--keep]

- case-table: programs/case_table.c, built by each toolchain with the upcase table the host backend
  and sfxtool were built with, compares all 65,536 BMP units with Windows' RtlUpcaseUnicodeChar and
  CompareStringOrdinal(..., TRUE) under Wine; the table must agree on every unit. The units where
  Windows differs from Unicode's own simple uppercase mapping are printed, and must be exactly those
  the table leaves unmapped.
- pack-case-pairs: `sfxtool pack` refuses folders holding case pairs of other scripts (Ukrainian,
  Vietnamese, Armenian, fullwidth), in both formats, with the duplicate-name message.
- names-zip, names-7z: archives holding each name shape (case pairs, pairs whose uppercase does
  not map back, trailing dots and spaces, a backslash, invalid UTF-8, empty folders) are appended to
  the stub as they are; `sfxtool verify` passes exactly when the stub under Wine unpacks every file
  (under the name Win32 paths make of it) and starts the installer, and inspect names the cause.
Prints "PASS|FAIL|SKIP case [stub]" lines and finally "RESULT passed=N failed=N skipped=N".
"""
from __future__ import annotations

import argparse
import collections
import json
import os
import shutil
import subprocess
import sys
import time
import unicodedata
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_e2e as e2e  # noqa: E402

REPO = e2e.REPO
sys.path.insert(0, str(REPO / "cmake"))
import upcase_table  # noqa: E402

WORK = REPO / "build" / "e2e-names-work"
WINE32 = "/usr/lib/wine/wine"
GCC = {"64": "x86_64-w64-mingw32-gcc", "32": "i686-w64-mingw32-gcc"}

# Each shape: its entries (name bytes, data; a name ending in "/" is a folder), the formats it is
# made in, whether the stub unpacks it whole, and the code inspect must report.
SHAPES = [
    ("pair-ukrainian", [("Ґ.txt", b"1"), ("ґ.txt", b"2")], "zip 7z", False, "duplicate-name"),
    ("pair-vietnamese", [("Ạ", b"1"), ("ạ", b"2")], "zip 7z", False, "duplicate-name"),
    ("pair-armenian", [("Ա", b"1"), ("ա", b"2")], "zip 7z", False, "duplicate-name"),
    ("pair-fullwidth", [("Ａ", b"1"), ("ａ", b"2")], "zip 7z", False, "duplicate-name"),
    ("apart-final-sigma", [("Σ", b"1"), ("ς", b"2")], "zip 7z", True, None),
    ("apart-dotless-i", [("I", b"1"), ("ı", b"2")], "zip 7z", True, None),
    ("apart-micro", [("Μ", b"1"), ("µ", b"2")], "zip 7z", True, None),
    ("trailing-dot", [("dot.", b"1")], "zip 7z", True, "name-trailing-dot"),
    ("trailing-space", [("sp ", b"1")], "zip 7z", True, "name-trailing-dot"),
    ("dot-pair", [("a", b"1"), ("a.", b"2")], "zip 7z", False, "duplicate-name"),
    ("backslash-alone", [("x\\y", b"1")], "zip 7z", False, "name-backslash"),
    ("backslash-after-folder", [("x/a", b"1"), ("x\\y", b"2")], "zip", True, None),
    ("invalid-utf8", [(b"bad\xff.txt", b"1")], "zip", True, "name-not-utf8"),
    ("empty-folder", [("empty/", b""), ("full/", b""), ("full/f", b"f")], "zip 7z", True, "empty-folder"),
]
# Trailing dots and spaces at the end of a first, middle and last component, in folders and files:
# the stub unpacks it whole exactly when no folder component keeps more than one trailing dot or
# any trailing space (it creates the folder as a path's last component, then opens the file through
# it as a middle one).
TRAILING = [" ", ".", "..", " .", ". "]
for _t, _tag in zip(TRAILING, ["sp", "dot", "dots", "sp-dot", "dot-sp"]):
    _bad = _t not in (".",)
    SHAPES += [
        (f"trail-{_tag}-first", [(f"x{_t}/f", b"1")], "zip 7z", not _bad, "name-folder-trailing" if _bad else None),
        (f"trail-{_tag}-middle", [(f"a/x{_t}/f", b"1")], "zip 7z", not _bad, "name-folder-trailing" if _bad else None),
        (f"trail-{_tag}-last-file", [(f"a/f{_t}", b"1")], "zip 7z", True, "name-trailing-dot"),
        (f"trail-{_tag}-last-folder", [(f"a/x{_t}/", b""), ("a/g", b"1")], "zip 7z", True, None),
    ]
CASE_PAIRS = [("Ґ.txt", "ґ.txt"), ("Ạ.txt", "ạ.txt"), ("Ա.txt", "ա.txt"), ("Ａ.txt", "ａ.txt")]


def run(argv: list, **kw) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in argv], capture_output=True, stdin=subprocess.DEVNULL, timeout=600, **kw)


def raw(name: str | bytes) -> bytes:
    return name if isinstance(name, bytes) else name.encode()


def windows_name(name: bytes) -> str:
    """The file the stub creates: UTF-8 (invalid bytes as U+FFFD), "\\" a separator, the last
    component without its trailing dots and spaces, the others without one trailing dot."""
    parts = name.decode("utf-8", "replace").replace("\\", "/").split("/")
    return "/".join([p[:-1] if p.endswith(".") else p for p in parts[:-1]] + [parts[-1].rstrip(". ")])


def build_case_table(bits: str, table: Path, out: Path) -> Path:
    out.mkdir(parents=True, exist_ok=True)
    exe = out / f"case_table{bits}.exe"
    src = e2e.PROGRAM_SOURCES / "case_table.c"
    r = run([GCC[bits], "-O2", "-Wall", "-static", f"-I{table.parent}", "-o", exe, src])
    if r.returncode != 0:
        raise e2e.CaseFail(f"building case_table{bits}.exe failed: {r.stderr.decode(errors='replace')}")
    return exe


def parse_case_table(text: str) -> tuple[dict[int, tuple[int, int]], dict[str, int]]:
    units, counts = {}, {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 3 and len(parts[0]) == 4:
            units[int(parts[0], 16)] = (int(parts[1], 16), int(parts[2], 16))
        elif len(parts) == 2 and parts[0] in ("order-faults", "upcase-mismatches", "class-mismatches"):
            counts[parts[0]] = int(parts[1])
    return units, counts


class NamesCases:
    def __init__(self, h: e2e.Harness, sfxtool: Path, table: Path):
        self.h, self.sfxtool, self.table = h, sfxtool, table
        self.probe = h.programs["probe64"].read_bytes()

    # -- the upcase table against Windows' --------------------------------------------------------
    def case_table(self, stub: e2e.Stub) -> None:
        if not self.table.is_file():
            raise e2e.CaseFail(f"no upcase table at {self.table} (build the host preset first)")
        d = self.h.fresh_case("case-table", stub)
        exe = build_case_table(stub.bits, self.table, WORK / "programs")
        out = d / "case-table.txt"
        loader = e2e.WINE64 if stub.bits == "64" else WINE32
        with open(d / "wine.log", "wb") as log:
            r = subprocess.run([loader, str(exe), self.h.wine.win_path(out)], env=self.h.wine.env(),
                               stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, timeout=600)
        c = e2e.Checks()
        if not c.expect(out.exists(), f"case_table{stub.bits}.exe wrote nothing (exit {r.returncode})"):
            c.done()
        units, counts = parse_case_table(out.read_text())
        c.expect(len(units) == 0x10000, f"{len(units)} units reported, want 65536")
        for key in ("order-faults", "upcase-mismatches", "class-mismatches"):
            c.expect(counts.get(key) == 0, f"{key}: {counts.get(key)} (see {out})")
        c.expect(r.returncode == 0, f"case_table{stub.bits}.exe exit {r.returncode}")
        # Where Windows is not Unicode: exactly the units the generated table leaves unmapped.
        differs = [u for u, (upper, _) in sorted(units.items()) if upper != upcase_table.unicode_upper(u)]
        left = [u for u in range(0x10000) if upcase_table.windows_upper(u) != upcase_table.unicode_upper(u)]
        c.expect(differs == left, f"Windows differs from Unicode at {[hex(u) for u in differs]}, "
                                  f"the table expects {[hex(u) for u in left]}")
        e2e.log(f"note [{stub.label}]: Windows (Wine) upcases {len(differs)} units otherwise than Unicode "
                f"{unicodedata.unidata_version}'s simple mapping: " + ", ".join(
                    f"U+{u:04X}->U+{units[u][0]:04X} (Unicode U+{upcase_table.unicode_upper(u):04X})" for u in differs))
        sizes = collections.Counter(rep for _, rep in units.values())
        e2e.log(f"note [{stub.label}]: {sum(1 for n in sizes.values() if n > 1)} classes of units that compare equal "
                f"(largest: {max(sizes.values())} units)")
        c.done()

    # -- pack refuses case pairs ------------------------------------------------------------------
    def pack_case_pairs(self, stub: e2e.Stub) -> None:
        c = e2e.Checks()
        for first, second in CASE_PAIRS:
            folder = WORK / f"pairs-{stub.label}" / first
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir(parents=True)
            (folder / e2e.DEFAULT_INSTALLER).write_bytes(self.probe)
            (folder / first).write_bytes(b"1")
            (folder / second).write_bytes(b"2")
            for fmt in ("7z", "zip"):
                out = folder.parent / f"out-{fmt}.exe"
                r = run([self.sfxtool, "pack", "--stub", stub.path, "--payload", folder, "--format", fmt, "-o", out])
                err = r.stderr.decode(errors="replace")
                c.expect(r.returncode == 1 and not out.exists(), f"pack {first}/{second} {fmt}: exit {r.returncode}")
                c.expect(f'"{first}" names the same file on Windows' in err and f'"{second}"' in err,
                         f"pack {first}/{second} {fmt}: no duplicate-name message: {err.strip()}")
        c.done()

    # -- verify against the stub, shape by shape ----------------------------------------------------
    def archive(self, fmt: str, key: str, entries: list[tuple[bytes, bytes]]) -> bytes:
        if fmt == "zip":
            return e2e.raw_zip(entries)
        work = WORK / f"7z-{key}"
        shutil.rmtree(work, ignore_errors=True)
        src = work / "src"
        src.mkdir(parents=True)
        names = []
        for name, data in entries:
            path = src / name.decode()
            if name.endswith(b"/"):
                path.mkdir(parents=True, exist_ok=True)
            else:
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_bytes(data)
            names.append(name.decode().split("/")[0])
        archive = work / "payload.7z"
        r = run(["7zz", "a", "-t7z", "-m0=LZMA", "-mf=off", "-spd", "-bd", "-y", "--", archive,
                 *dict.fromkeys(names)], cwd=src, env=dict(os.environ, LC_ALL="C.UTF-8"))
        if r.returncode != 0:
            raise e2e.CaseFail(f"7zz failed: {r.stdout[-300:]!r}")
        return archive.read_bytes()

    def shapes(self, stub: e2e.Stub, fmt: str) -> None:
        c = e2e.Checks()
        for key, named, formats, whole, code in SHAPES:
            if fmt not in formats.split():
                continue
            entries = [(raw(e2e.DEFAULT_INSTALLER), self.probe)] + [(raw(n), d) for n, d in named]
            d = self.h.fresh_case(f"names-{fmt}-{key}", stub)
            exe = self.h.place_stub(stub, d, self.archive(fmt, key, entries))
            verify = run([self.sfxtool, "verify", exe])
            inspect = json.loads(run([self.sfxtool, "inspect", "--json", exe]).stdout)
            codes = [p["code"] for p in inspect["problems"]]
            self.h.wine.clear_temp()
            r = self.h.run(stub, exe, probe_exit=7, tag=key)
            started = r.report is not None and "_broken" not in (r.report or {})
            files = {}
            if started:
                files = {k: v for k, v in e2e.listing_tree(r.report).items() if v[0] == "file"}
            want = {windows_name(n): ("file", len(data), f"{zlib.crc32(data):08x}") for n, data in entries
                    if not n.endswith(b"/")}
            stub_whole = started and r.exit_code == 7 and all(files.get(k) == v for k, v in want.items())
            verify_passes = verify.returncode == 0
            label = f"{key}: "
            c.expect(verify_passes == stub_whole,
                     label + f"verify {'passes' if verify_passes else 'fails'} ({codes}), the stub under Wine "
                     f"{'unpacks everything and starts the installer' if stub_whole else f'does not ({r.status}, files {sorted(files)})'}")
            c.expect(stub_whole == whole, label + f"the stub {'did' if stub_whole else 'did not'} unpack it whole")
            if code:
                c.expect(code in codes, label + f"inspect reports {codes}, want {code}")
            if key == "empty-folder" and started:
                dirs = [k for k, v in e2e.listing_tree(r.report).items() if v[0] == "dir"]
                c.expect("empty" not in dirs and "full" in dirs, label + f"folders unpacked: {dirs}")
                c.expect(inspect.get("emptyFolders") == ["empty/"], label + f"emptyFolders {inspect.get('emptyFolders')}")
        c.done()

    def names_zip(self, stub: e2e.Stub) -> None:
        self.shapes(stub, "zip")

    def names_7z(self, stub: e2e.Stub) -> None:
        self.shapes(stub, "7z")


CASES = [
    ("case-table", NamesCases.case_table),
    ("pack-case-pairs", NamesCases.pack_case_pairs),
    ("names-zip", NamesCases.names_zip),
    ("names-7z", NamesCases.names_7z),
]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--win32", type=Path)
    ap.add_argument("--win64", type=Path)
    ap.add_argument("--sfxtool", type=Path, default=REPO / "build" / "host" / "sfxtool")
    ap.add_argument("--table", type=Path, default=REPO / "build" / "host" / "SelfExtractor" / "generated" / "UpcaseTable.h",
                    help="the upcase table the host build compiled")
    ap.add_argument("--only")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--prefix", type=Path, default=Path(os.environ.get("SFX_WINEPREFIX", REPO / "build" / "wineprefix")))
    ap.add_argument("--programs", type=Path, default=REPO / "build" / "e2e-programs")
    ap.add_argument("--timeout32", type=int, default=120)
    ap.add_argument("--timeout64", type=int, default=60)
    args = ap.parse_args()
    if not args.win32 and not args.win64:
        ap.error("give --win32 and/or --win64")
    if not args.sfxtool.is_file():
        raise SystemExit(f"names-e2e: sfxtool not built: {args.sfxtool}")

    stubs = []
    if args.win32:
        stubs.append(e2e.Stub("win32", args.win32.resolve(), "32", args.timeout32))
    if args.win64:
        stubs.append(e2e.Stub("win64", args.win64.resolve(), "64", args.timeout64))

    programs = e2e.build_programs(args.programs)
    wine = e2e.setup_wine(args.prefix)
    e2e.TEMP_WIN[0] = wine.temp_win
    if not wine.win32_ok and args.win32:
        bar = "!" * 78
        e2e.log(f"{bar}\n!! 32-bit route UNAVAILABLE: {wine.win32_reason}\n!! every win32 case is SKIPPED "
                f"and none counts as passed\n{bar}")
    wine.stop_server()
    wine.start_server()
    h = e2e.Harness(wine, programs, args.keep)
    h.root = wine.drive_c / "e2e-names"
    shutil.rmtree(h.root, ignore_errors=True)
    cases = NamesCases(h, args.sfxtool.resolve(), args.table.resolve())
    tally = e2e.Tally(wine)
    t0 = time.monotonic()
    try:
        for name, fn in CASES:
            for stub in stubs:
                if e2e.selected(args.only, name, stub.label):
                    # pack runs no stub: the 32-bit route is not needed for it.
                    tally.run(name, stub, lambda: fn(cases, stub), needs_win32_route=name != "pack-case-pairs")
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
