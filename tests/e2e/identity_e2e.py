#!/usr/bin/env python3
"""End-to-end test of the installer identity: what `sfxtool pack --icon/--version-info/
--execution-level` writes, read back under Wine the way Windows reads it, for both stubs.

    tests/e2e/identity_e2e.py --win32 build/win32/SelfExtractor.exe --win64 build/win64/SelfExtractor.exe
                              [--sfxtool build/host/sfxtool] [--only PATTERN] [--keep] [--prefix DIR]

A reader of our own (programs/identity.c, 64-bit, run by wine64) reports the packed installer's
version (GetFileVersionInfoW, VerQueryValueW), icon (ExtractIconExW; RT_GROUP_ICON and each
RT_ICON through LoadLibraryExW(LOAD_LIBRARY_AS_DATAFILE), FindResourceW, CreateIconFromResourceEx),
manifest (FindResourceW on RT_MANIFEST) and PE checksum (MapFileAndCheckSumW). Every value set must
come back; the installer must still run the probe installer with the exact parameters and exit
code, also after osslsigncode signing. Cases:
  identity-default  no identity options: the stub's manifest (asInvoker) and project version
  identity-set      icon, every version string (non-ASCII too), highestAvailable
  identity-signed   the same with requireAdministrator, then signed: the identity survives signing
  options-set       every installer option at its limit: the stub takes the record and runs the
                    installer
  options-malformed that record with its version changed by hand: the stub exits 5, starting
                    nothing and making no staging folder
Prints "PASS|FAIL|SKIP case [stub]" lines and finally "RESULT passed=N failed=N skipped=N".
"""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_e2e as e2e  # noqa: E402
import signed_e2e as signed  # noqa: E402

REPO = e2e.REPO
WORK = REPO / "build" / "e2e-identity-work"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {  # Windows Vista, 7, 8, 8.1, 10 and 11
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}
STRINGS = {  # every key, in UTF-8 on the command line
    "CompanyName": "Orvak Softwarehaus GmbH",
    "FileDescription": "Orvak ZEB Einrichtung – Grüße",
    "FileVersion": "5.2.1.7",
    "InternalName": "orvak-zeb",
    "LegalCopyright": "© 2025 Orvak",
    "OriginalFilename": "OrvakSetup.exe",
    "ProductName": "Orvak ZEB ファイル",
    "ProductVersion": "5.2.0.3",
    "Comments": "built 🚀 with sfxtool",
}
ICON = [(16, "dib"), (32, "dib"), (48, "png")]  # size, kind; 32-bit colour each


def project_version() -> str:
    """The stub's version: the project version of the top CMakeLists.txt, as a.b.c.d."""
    m = re.search(r"project\(SelfExtractor\s+VERSION\s+([0-9.]+)", (REPO / "CMakeLists.txt").read_text())
    parts = (m.group(1).split(".") if m else []) + ["0"] * 4
    return ".".join(parts[:4])


def make_icon(path: Path) -> None:
    """An .ico file of 32-bit images: bitmaps (header, pixels, AND mask) and a real PNG."""
    def dib(n: int) -> bytes:
        head = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
        return head + bytes((i * 37 + n) % 251 + 1 for i in range(4 * n * n)) + bytes(4 * n)

    def png(n: int) -> bytes:
        rows = b"".join(b"\0" + bytes((x * 5 + y * 3) % 256 for x in range(4 * n)) for y in range(n))
        chunk = lambda kind, data: (struct.pack(">I", len(data)) + kind + data  # noqa: E731
                                    + struct.pack(">I", zlib.crc32(kind + data)))
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))

    images = [dib(n) if kind == "dib" else png(n) for n, kind in ICON]
    head, data = struct.pack("<HHH", 0, 1, len(images)), b""
    for (n, _), image in zip(ICON, images):
        head += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(image), 6 + 16 * len(images) + len(data))
        data += image
    path.write_bytes(head + data)


def build_reader(out: Path) -> Path:
    """programs/identity.c as a static 64-bit program, rebuilt when the source is newer."""
    src, target = e2e.PROGRAM_SOURCES / "identity.c", out / "identity64.exe"
    if not target.exists() or target.stat().st_mtime < src.stat().st_mtime:
        out.mkdir(parents=True, exist_ok=True)
        r = subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-Wall", "-static", "-municode", "-o", str(target), str(src),
                            "-limagehlp", "-lversion", "-lshell32", "-lgdi32", "-luser32"], capture_output=True, text=True)
        if r.returncode != 0:
            raise SystemExit(f"identity-e2e: building identity64.exe failed:\n{r.stderr}")
    return target


def manifest_faults(text: str | None, level: str) -> list[str]:
    """What is wrong with a manifest that should request `level`, not uiAccess, and name Vista to 11."""
    if text is None:
        return ["no RT_MANIFEST #1"]
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        return [f"manifest is not well-formed XML: {error}"]
    faults = []
    levels = root.findall(f".//{ASM_V3}requestedExecutionLevel")
    got = [(e.get("level"), e.get("uiAccess")) for e in levels]
    if got != [(level, "false")]:
        faults.append(f"requestedExecutionLevel {got}, want [({level!r}, 'false')]")
    ids = {e.get("Id", "").lower() for e in root.iter(f"{COMPATIBILITY}supportedOS")}
    if ids != SUPPORTED_OS:
        faults.append(f"supportedOS {sorted(ids)}")
    if any(e.tag.split("}")[-1] == "dependency" for e in root.iter()):
        faults.append("a side-by-side dependency")
    return faults


class IdentityCases:
    def __init__(self, h: e2e.Harness, sfxtool: Path, reader: Path, key: Path, cert: Path):
        self.h, self.sfxtool, self.reader, self.key, self.cert = h, sfxtool, reader, key, cert
        self.probe = h.programs["probe64"].read_bytes()
        self.icon = WORK / "app.ico"
        make_icon(self.icon)

    def pack(self, stub: e2e.Stub, case: str, options: list[str]) -> tuple[Path, list[e2e.Entry]]:
        work = WORK / f"{case}-{stub.label}"
        shutil.rmtree(work, ignore_errors=True)
        entries = [e2e.Entry(e2e.DEFAULT_INSTALLER, self.probe), e2e.Entry("data/ünï.txt", "grüße\n".encode())]
        for e in entries:
            (work / "payload" / e.name).parent.mkdir(parents=True, exist_ok=True)
            (work / "payload" / e.name).write_bytes(e.data)
        out = work / "installer.exe"
        r = signed.run([self.sfxtool, "pack", "--stub", stub.path, "--payload", work / "payload", "-o", out, *options])
        if r.returncode != 0:
            raise e2e.CaseFail(f"sfxtool pack exit {r.returncode}: {r.stderr.strip()}")
        return out, entries

    def read(self, exe: Path) -> dict:
        """The reader's report on `exe`, run by wine64 from the prefix's drive C."""
        d = self.h.root / "reader"
        d.mkdir(parents=True, exist_ok=True)
        target, report = d / exe.name, d / "identity.json"
        shutil.copyfile(exe, target)
        report.unlink(missing_ok=True)
        with open(d / "wine.log", "wb") as log:
            subprocess.run([e2e.WINE64, str(self.reader), self.h.wine.win_path(target), self.h.wine.win_path(report)],
                           env=self.h.wine.env(), stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, timeout=120)
        if not report.exists():
            raise e2e.CaseFail(f"the identity reader wrote no report: {(d / 'wine.log').read_text(errors='replace')[-400:]}")
        return json.loads(report.read_text(encoding="utf-8"))

    def check_identity(self, c: e2e.Checks, got: dict, *, level: str, strings: dict[str, str] | None,
                       icon: bool) -> None:
        for fault in manifest_faults(got["manifest"], level):
            c.expect(False, f"manifest: {fault}")
        c.expect(got["checksum"]["result"] == 0 and got["checksum"]["header"] == got["checksum"]["computed"],
                 f"PE checksum: {got['checksum']}")
        fixed = got["fixed"] or {}
        c.expect(fixed.get("signature") == 0xFEEF04BD, f"no VS_FIXEDFILEINFO: {got['fixed']}")
        if strings is None:  # the stub's own version: numbers only
            version = project_version()
            c.expect((fixed.get("file"), fixed.get("product")) == (version, version),
                     f"fixed versions {fixed}, want the project version {version}")
            c.expect(got["strings"] == {} and got["translations"] == [], f"strings {got['strings']} {got['translations']}")
        else:
            c.expect((fixed.get("file"), fixed.get("product")) == (strings["FileVersion"], strings["ProductVersion"]),
                     f"fixed versions {fixed}")
            c.expect(got["translations"] == ["040904b0"], f"translations {got['translations']}")
            c.expect(got["strings"] == strings, f"strings: want {strings}, got {got['strings']}")
        if not icon:
            c.expect(got["iconCount"] == 0 and got["group"] == [], f"icons: {got['iconCount']} {got['group']}")
            return
        c.expect(got["iconCount"] == 1, f"ExtractIconExW counts {got['iconCount']} icons, want 1")
        c.expect(got["largeIcon"] == [32, 32] and got["smallIcon"] == [16, 16],
                 f"ExtractIconExW: large {got['largeIcon']}, small {got['smallIcon']}")
        sizes = [(g["width"], g["height"], g["bitCount"]) for g in got["group"]]
        c.expect(sizes == [(n, n, 32) for n, _ in ICON], f"RT_GROUP_ICON entries {sizes}")
        for g in got["group"]:
            c.expect(g["resourceBytes"] == g["bytes"] and g["made"] == [g["width"], g["height"]],
                     f"RT_ICON of {g['width']}x{g['height']}: {g}")

    def check_tool(self, c: e2e.Checks, exe: Path, level: str) -> None:
        r = signed.run([self.sfxtool, "verify", exe])
        c.expect(r.returncode == 0, f"sfxtool verify: exit {r.returncode}: {r.stderr.strip()}")
        r = signed.run([self.sfxtool, "inspect", "--json", exe])
        got = json.loads(r.stdout)["identity"] if r.returncode == 0 else {}
        c.expect(got.get("executionLevel") == level, f"sfxtool inspect: identity {got}")

    def run_installer(self, c: e2e.Checks, stub: e2e.Stub, case: str, exe: Path, entries: list[e2e.Entry]) -> None:
        d = self.h.fresh_case(case, stub)
        target = d / e2e.STUB_NAME
        shutil.copyfile(exe, target)
        tail = ' /S --dir="C:\\Program Files\\Orvak" ünï'
        res = self.h.run(stub, target, tail, probe_exit=42)
        e2e.check_exit(c, res, 42)
        e2e.check_report(c, res, tail, want_tree=e2e.expected_tree(entries))
        e2e.check_staging_gone(c, res)

    def identity_default(self, stub: e2e.Stub) -> None:
        exe, entries = self.pack(stub, "identity-default", [])
        c = e2e.Checks()
        self.check_identity(c, self.read(exe), level="asInvoker", strings=None, icon=False)
        self.check_tool(c, exe, "asInvoker")
        self.run_installer(c, stub, "identity-default", exe, entries)
        c.done()

    def options(self, level: str) -> list[str]:
        out = ["--icon", str(self.icon), "--execution-level", level]
        for key, value in STRINGS.items():
            out += ["--version-info", f"{key}={value}"]
        return out

    def identity_set(self, stub: e2e.Stub) -> None:
        exe, entries = self.pack(stub, "identity-set", self.options("highestAvailable"))
        c = e2e.Checks()
        self.check_identity(c, self.read(exe), level="highestAvailable", strings=STRINGS, icon=True)
        self.check_tool(c, exe, "highestAvailable")
        self.run_installer(c, stub, "identity-set", exe, entries)
        c.done()

    def identity_signed(self, stub: e2e.Stub) -> None:
        exe, entries = self.pack(stub, "identity-signed", self.options("requireAdministrator"))
        signed_exe = exe.with_name("signed.exe")
        signed.sign(exe, signed_exe, self.key, self.cert)
        c = e2e.Checks()
        r = signed.run(["osslsigncode", "verify", "-CAfile", self.cert, "-in", signed_exe])
        c.expect(r.returncode == 0, f"osslsigncode verify: {(r.stdout + r.stderr).strip()[-400:]}")
        self.check_identity(c, self.read(signed_exe), level="requireAdministrator", strings=STRINGS, icon=True)
        self.check_tool(c, signed_exe, "requireAdministrator")
        self.run_installer(c, stub, "identity-signed", signed_exe, entries)
        c.done()


    # -- the installer options record ----------------------------------------------------------
    # Every option at its limit: a 1024-unit message (quotes, a surrogate pair) and 32 switches of
    # 32 units.
    MESSAGE = (("Die Installation ist fehlgeschlagen: \"Orvak ZEB\" – 🚀 ".encode("utf-16-le")
                + "x".encode("utf-16-le") * 1024)[:2048].decode("utf-16-le"))

    def pack_options(self, stub: e2e.Stub, case: str) -> tuple[Path, list[e2e.Entry]]:
        options = ["--wait", "tree", "--progress", "--failure-message", self.MESSAGE]
        for i in range(32):
            options += ["--silent-switch", f"/{chr(65 + i)}{'q' * 31}"]
        return self.pack(stub, case, options)

    def options_set(self, stub: e2e.Stub) -> None:
        exe, entries = self.pack_options(stub, "options-set")
        c = e2e.Checks()
        self.check_tool(c, exe, "asInvoker")
        self.run_installer(c, stub, "options-set", exe, entries)
        c.done()

    def options_malformed(self, stub: e2e.Stub) -> None:
        exe, _ = self.pack_options(stub, "options-malformed")
        image = bytearray(exe.read_bytes())
        at = image.find(self.MESSAGE.encode("utf-16-le")) - 12  # the record's version field
        if at < 0 or image[at:at + 2] != b"\1\0":
            raise e2e.CaseFail("the record is not in the packed installer")
        image[at] = 2
        bad = exe.with_name("malformed.exe")
        bad.write_bytes(image)
        c = e2e.Checks()
        target = self.h.fresh_case("options-malformed", stub) / e2e.STUB_NAME
        shutil.copyfile(bad, target)
        self.h.wine.clear_temp()
        res = self.h.run(stub, target, " /x", probe_exit=42)
        e2e.check_exit(c, res, 5)
        e2e.check_no_report(c, res)
        c.expect(not res.staging_dirs(), f"a staging folder was made: {res.temp_entries}")
        c.done()

CASES = [
    ("identity-default", IdentityCases.identity_default),
    ("identity-set", IdentityCases.identity_set),
    ("identity-signed", IdentityCases.identity_signed),
    ("options-set", IdentityCases.options_set),
    ("options-malformed", IdentityCases.options_malformed),
]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--win32", type=Path)
    ap.add_argument("--win64", type=Path)
    ap.add_argument("--sfxtool", type=Path, default=REPO / "build" / "host" / "sfxtool")
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
        raise SystemExit(f"identity-e2e: sfxtool not built: {args.sfxtool}")
    for tool in ("osslsigncode", "openssl"):
        if shutil.which(tool) is None:
            raise SystemExit(f"identity-e2e: {tool} is missing (scripts/setup installs it)")

    stubs = []
    if args.win32:
        stubs.append(e2e.Stub("win32", args.win32.resolve(), "32", args.timeout32))
    if args.win64:
        stubs.append(e2e.Stub("win64", args.win64.resolve(), "64", args.timeout64))

    programs = e2e.build_programs(args.programs)
    reader = build_reader(args.programs)
    wine = e2e.setup_wine(args.prefix)
    e2e.TEMP_WIN[0] = wine.temp_win
    if not wine.win32_ok and args.win32:
        bar = "!" * 78
        e2e.log(f"{bar}\n!! 32-bit route UNAVAILABLE: {wine.win32_reason}\n!! every win32 case is SKIPPED "
                f"and none counts as passed\n{bar}")
    wine.stop_server()
    wine.start_server()
    h = e2e.Harness(wine, programs, args.keep)
    h.root = wine.drive_c / "e2e-identity"
    shutil.rmtree(h.root, ignore_errors=True)
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir(parents=True)
    key, cert = signed.make_certificate(WORK / "certificate")
    cases = IdentityCases(h, args.sfxtool.resolve(), reader, key, cert)
    tally = e2e.Tally(wine)
    t0 = time.monotonic()
    try:
        for name, fn in CASES:
            for stub in stubs:
                if e2e.selected(args.only, name, stub.label):
                    tally.run(name, stub, lambda: fn(cases, stub))
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
