#!/usr/bin/env python3
"""End-to-end tests: the real stubs (32-bit shipping stub and its 64-bit twin) under Wine.

    tests/e2e/run_e2e.py --win32 build/win32/SelfExtractor.exe --win64 build/win64/SelfExtractor.exe
                         [--only PATTERN] [--keep] [--prefix DIR] [--list]

Each case runs against each stub: the stub is copied into a fresh folder under the prefix's
drive C, its payload appended, and it is started through rawrun.exe with an exact raw command
line. A probe installer inside the payload reports what it was given and what lies around it.
Prints one "PASS|FAIL|SKIP case [stub]" line per run and finally
"RESULT passed=N failed=N skipped=N"; exits non-zero on any failure.
"""
from __future__ import annotations

import argparse
import fcntl
import fnmatch
import io
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zipfile
import zlib
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
PROGRAM_SOURCES = Path(__file__).resolve().parent / "programs"
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
DEFAULT_INSTALLER = "Orvak ZEB Installer.exe"
STUB_NAME = "Orvak Setup.exe"        # the name each stub copy gets; a space keeps quoting honest
FAILURE = 5
STAGING_RE = re.compile(r"^ZEB[0-9A-F]{1,4}\.tmp$", re.I)
GUID_RE = re.compile(r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$", re.I)
BASE_OVERRIDES = "mscoree,mshtml="
TEMP_WIN = [""]   # %TEMP% as Windows path, set once the prefix is up


class CaseFail(Exception):
    pass


class CaseSkip(Exception):
    pass


def log(msg: str) -> None:
    print(msg, flush=True)


# ----------------------------------------------------------------------------------------------
# Test programs
# ----------------------------------------------------------------------------------------------

def build_programs(out: Path) -> dict[str, Path]:
    """Compiles the probe, rawrun and the marker DLLs, statically linked, when a source is newer."""
    out.mkdir(parents=True, exist_ok=True)
    gcc = {"64": "x86_64-w64-mingw32-gcc", "32": "i686-w64-mingw32-gcc"}
    dll_entry = {"64": "DllMain", "32": "_DllMain@12"}
    jobs = {}
    for bits in ("64", "32"):
        # A GUI program, as installers are. (Under Wine a console program started from the GUI stub
        # gets a conhost.exe that holds the stub's current folder open for a moment after the end.)
        jobs[f"probe{bits}"] = (f"probe{bits}.exe", "probe.c",
                                [gcc[bits], "-O2", "-Wall", "-static", "-mwindows", "-o", "{out}", "{src}",
                                 "-lshell32"])
        jobs[f"rawrun{bits}"] = (f"rawrun{bits}.exe", "rawrun.c",
                                 [gcc[bits], "-O2", "-Wall", "-static", "-municode", "-o", "{out}", "{src}"])
        jobs[f"marker{bits}"] = (f"marker{bits}.dll", "marker_dll.c",
                                 [gcc[bits], "-O2", "-Wall", "-shared", "-static", "-nostartfiles",
                                  f"-Wl,-e,{dll_entry[bits]}", "-o", "{out}", "{src}"])
    built = {}
    for key, (name, src_name, cmd) in jobs.items():
        target, src = out / name, PROGRAM_SOURCES / src_name
        stamp = out / f"{name}.cmd"
        if (not target.exists() or target.stat().st_mtime < src.stat().st_mtime
                or not stamp.exists() or stamp.read_text() != repr(cmd)):
            argv = [a.replace("{out}", str(target)).replace("{src}", str(src)) for a in cmd]
            r = subprocess.run(argv, capture_output=True, text=True)
            if r.returncode != 0:
                raise SystemExit(f"e2e: building {name} failed:\n{r.stderr}")
            stamp.write_text(repr(cmd))
        built[key] = target
    return built


# ----------------------------------------------------------------------------------------------
# Wine prefix
# ----------------------------------------------------------------------------------------------

@dataclass
class Wine:
    prefix: Path
    temp: Path            # Linux path of %TEMP%
    temp_win: str
    win32_ok: bool
    win32_reason: str

    @property
    def drive_c(self) -> Path:
        return self.prefix / "drive_c"

    def env(self, overrides: str = BASE_OVERRIDES, extra: dict[str, str] | None = None) -> dict[str, str]:
        e = {k: v for k, v in os.environ.items() if not k.startswith(("WINE", "SFX_PROBE"))}
        e.pop("DISPLAY", None)
        e.update(WINEPREFIX=str(self.prefix), WINEDEBUG="-all", WINEDLLOVERRIDES=overrides)
        if extra:
            e.update(extra)
        return e

    def win_path(self, p: Path) -> str:
        rel = Path(os.path.abspath(p)).relative_to(os.path.abspath(self.drive_c))
        return "C:\\" + "\\".join(rel.parts)

    def start_server(self) -> None:
        # The server forks into the background: give it no pipes to hold open.
        subprocess.run([WINESERVER, "-p"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def stop_server(self) -> None:
        for flag in ("-k", "-w"):
            subprocess.run([WINESERVER, flag], env=self.env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def clear_temp(self) -> None:
        self.temp.mkdir(parents=True, exist_ok=True)
        for child in self.temp.iterdir():
            if child.is_dir() and not child.is_symlink():
                shutil.rmtree(child, ignore_errors=True)
            else:
                child.unlink(missing_ok=True)


def setup_wine(prefix: Path) -> Wine:
    # Files, not pipes: Wine's helper processes inherit them and outlive the call.
    prefix.parent.mkdir(parents=True, exist_ok=True)
    out_file = prefix.parent / "wine-env.out"
    with open(out_file, "wb") as out:
        r = subprocess.run([str(REPO / "scripts" / "wine-env"), "--prefix", str(prefix), "setup"],
                           stdin=subprocess.DEVNULL, stdout=out, timeout=1800)
    if r.returncode != 0:
        raise SystemExit("e2e: scripts/wine-env setup failed")
    kv = dict(line.split("=", 1) for line in out_file.read_text().splitlines() if "=" in line)
    return Wine(prefix=Path(kv["WINEPREFIX"]), temp=Path(kv["WINE_TEMP"]), temp_win=kv["WINE_TEMP_WIN"],
                win32_ok=kv.get("WIN32") == "ok", win32_reason=kv.get("WIN32_REASON", ""))


# ----------------------------------------------------------------------------------------------
# Payloads
# ----------------------------------------------------------------------------------------------

@dataclass
class Entry:
    name: str                 # archive name, "/" separators; a trailing "/" marks a directory entry
    data: bytes = b""
    method: int = zipfile.ZIP_DEFLATED


def zip_payload(entries: list[Entry]) -> bytes:
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for e in entries:
            info = zipfile.ZipInfo(e.name, date_time=(2024, 1, 2, 3, 4, 6))
            info.compress_type = zipfile.ZIP_STORED if e.name.endswith("/") else e.method
            info.external_attr = (0o40755 << 16) | 0x10 if e.name.endswith("/") else 0o644 << 16
            z.writestr(info, e.data)
    raw = buf.getvalue()
    # The stub reads sizes from the local headers: make sure zipfile put them there.
    assert raw[:4] == b"PK\x03\x04" and not struct.unpack_from("<H", raw, 6)[0] & 0x8, "data descriptor"
    return raw


def raw_zip(entries: list[tuple[bytes, bytes]], central: bool = True) -> bytes:
    """Local file records written by hand (stored), for names zipfile would not write as given."""
    out, cd = bytearray(), bytearray()
    for name, data in entries:
        crc = zlib.crc32(data)
        off = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0x800, 0, 0, 0x21, crc, len(data), len(data),
                           len(name), 0) + name + data
        cd += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0x800, 0, 0, 0x21, crc, len(data),
                          len(data), len(name), 0, 0, 0, 0, 0, off) + name
    if central:
        cd_off = len(out)
        out += cd + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(cd), cd_off, 0)
    return bytes(out)


def make_7z(work: Path, entries: list[Entry], switches: list[str]) -> tuple[bytes, list[str]]:
    """Builds a 7z archive with 7zz from a folder holding the entries; returns it and its entry order."""
    src = work / "src"
    shutil.rmtree(work, ignore_errors=True)
    src.mkdir(parents=True)
    for e in entries:
        p = src / e.name
        if e.name.endswith("/"):
            p.mkdir(parents=True, exist_ok=True)
        else:
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(e.data)
    archive = work / "payload.7z"
    env = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")
    names = sorted(os.listdir(src))
    r = subprocess.run(["7zz", "a", "-bd", "-y", *switches, str(archive), *names], cwd=src, env=env,
                       capture_output=True, text=True)
    if r.returncode != 0:
        raise CaseFail(f"7zz a failed: {r.stdout[-400:]} {r.stderr[-400:]}")
    data = archive.read_bytes()
    if data[32] != 0:
        raise CaseFail(f"harness: 7z payload's first packed byte is {data[32]:#x}, not the zero of LZMA")
    return data, list_7z(archive)


def list_7z(archive: Path) -> list[dict[str, str]]:
    env = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")
    r = subprocess.run(["7zz", "l", "-slt", str(archive)], env=env, capture_output=True, text=True)
    if r.returncode != 0:
        raise CaseFail(f"7zz l failed: {r.stdout[-400:]}")
    body = r.stdout.split("----------\n", 1)[1]
    items = []
    for block in body.strip().split("\n\n"):
        kv = dict(line.split(" = ", 1) for line in block.splitlines() if " = " in line)
        if "Path" in kv:
            items.append(kv)
    return items


def expected_tree(entries: list[Entry]) -> dict[str, tuple]:
    """What unpacking should leave: every file with size and CRC, and every parent folder of a file
    (directory entries create nothing of their own)."""
    tree: dict[str, tuple] = {}
    for e in entries:
        if e.name.endswith("/"):
            continue
        tree[e.name] = ("file", len(e.data), f"{zlib.crc32(e.data):08x}")
        parts = e.name.split("/")
        for i in range(1, len(parts)):
            tree["/".join(parts[:i])] = ("dir",)
    return tree


def listing_tree(report: dict) -> dict[str, tuple]:
    tree = {}
    for item in report["listing"]:
        name = item["name"].replace("\\", "/")
        if item["type"] == "dir":
            tree[name] = ("dir",)
        else:
            tree[name] = ("file", item.get("size"), item.get("crc32"))
    return tree


def diff_trees(want: dict, got: dict) -> str:
    """Names compare case-insensitively, as Windows does; everything else exactly."""
    wl = {k.lower(): (k, v) for k, v in want.items()}
    gl = {k.lower(): (k, v) for k, v in got.items()}
    problems = []
    for k in sorted(set(wl) | set(gl)):
        if k not in gl:
            problems.append(f"missing {wl[k][0]!r}")
        elif k not in wl:
            problems.append(f"unexpected {gl[k][0]!r} {gl[k][1]}")
        elif wl[k][1] != gl[k][1]:
            problems.append(f"{wl[k][0]!r}: want {wl[k][1]} got {gl[k][1]}")
        elif wl[k][0] != gl[k][0]:
            problems.append(f"name case: want {wl[k][0]!r} got {gl[k][0]!r}")
    return "; ".join(problems)


# ----------------------------------------------------------------------------------------------
# Command lines
# ----------------------------------------------------------------------------------------------

def parameter_tail(line: str) -> str:
    """The text after the program name, leading spaces kept: the whole line when it starts with
    "-", else the text after the closing quote of a quoted name or after the first space."""
    if not line:
        return ""
    if line[0] == "-":
        return line
    delim = '"' if line[0] == '"' else " "
    i = 1
    while i < len(line):
        if line[i] == delim:
            return line[i + 1:]
        i += 1
    return ""


def units_hex(s: str) -> str:
    """The UTF-16 units of `s` in hex, four digits each (the probe's "utf16hex" form)."""
    raw = s.encode("utf-16-le", "surrogatepass")
    return "".join(f"{u:04x}" for u in struct.unpack(f"<{len(raw) // 2}H", raw))


def from_units_hex(h: str) -> str:
    units = [int(h[i:i + 4], 16) for i in range(0, len(h), 4)]
    return struct.pack(f"<{len(units)}H", *units).decode("utf-16-le", "surrogatepass")


def probe_raw_line(report: dict) -> str:
    return from_units_hex(report["commandLine"]["utf16hex"])


def probe_argv(report: dict) -> list[str]:
    return [from_units_hex(a["utf16hex"]) for a in report["argv"]]


# ----------------------------------------------------------------------------------------------
# Runs
# ----------------------------------------------------------------------------------------------

def pe_machine(image: bytes) -> int | None:
    if image[:2] != b"MZ" or len(image) < 64:
        return None
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", image, pe + 4)[0]


@dataclass
class Stub:
    label: str        # "win32" | "win64"
    path: Path | None
    bits: str         # "32" | "64"
    timeout: int      # seconds per process


@dataclass
class RunResult:
    exit_code: int | None
    status: str                     # "exit", "timeout", "error ..."
    report: dict | None
    temp_entries: list[str]         # names directly in the temp folder afterwards
    temp_tree: dict[str, tuple] = field(default_factory=dict)

    def staging_dirs(self) -> list[str]:
        return [n for n in self.temp_entries if STAGING_RE.match(n)]

    def guid_dirs(self) -> list[str]:
        return [n for n in self.temp_entries if GUID_RE.match(n)]


class Harness:
    def __init__(self, wine: Wine, programs: dict[str, Path], keep: bool):
        self.wine = wine
        self.programs = programs
        self.keep = keep
        self.root = wine.drive_c / "e2e"
        self.work = REPO / "build" / "e2e-work"
        self.cache: dict[str, object] = {}

    # -- folders ------------------------------------------------------------------------------
    def case_dir(self, case: str, stub: Stub) -> Path:
        return self.root / f"{case}-{stub.label}"

    def fresh_case(self, case: str, stub: Stub) -> Path:
        d = self.case_dir(case, stub)
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir(parents=True)
        return d

    def place_stub(self, stub: Stub, folder: Path, payload: bytes, name: str = STUB_NAME) -> Path:
        if stub.path is None or not stub.path.is_file():
            raise CaseFail(f"stub not built: {stub.path}")
        image = stub.path.read_bytes()
        machine = pe_machine(image)
        want = {"32": 0x14C, "64": 0x8664}[stub.bits]
        if machine != want:
            raise CaseFail(f"--{stub.label} {stub.path} is no {stub.bits}-bit Windows executable "
                           f"(machine {machine!r})")
        folder.mkdir(parents=True, exist_ok=True)
        target = folder / name
        target.write_bytes(image + payload)
        return target

    # -- one run ------------------------------------------------------------------------------
    def run(self, stub: Stub, exe: Path, tail: str | None = None, *, raw: str | None = None,
            probe_exit: int | None = None, list_up: int | None = None, cwd: Path | None = None,
            overrides: str = BASE_OVERRIDES, extra_env: dict[str, str] | None = None,
            tag: str = "run") -> RunResult:
        """Starts `exe` with the raw command line `raw`, or `"<exe>"` + `tail`, through rawrun."""
        out = exe.parent.parent / f"{exe.parent.name}.out" / tag
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        line = raw if raw is not None else f'"{self.wine.win_path(exe)}"{tail or ""}'
        (out / "cmdline.bin").write_bytes(line.encode("utf-16-le", "surrogatepass"))
        report, result = out / "report.json", out / "result.txt"
        env = {"SFX_PROBE_REPORT": self.wine.win_path(report)}
        if probe_exit is not None:
            env["SFX_PROBE_EXIT"] = str(probe_exit)
        if list_up is not None:
            env["SFX_PROBE_LIST_UP"] = str(list_up)
        env.update(extra_env or {})
        rawrun = self.programs["rawrun64"]
        argv = [WINE64, str(rawrun), self.wine.win_path(result), self.wine.win_path(exe),
                self.wine.win_path(out / "cmdline.bin"), str(stub.timeout * 1000)]
        if cwd is not None:
            argv.append(self.wine.win_path(cwd))
        for attempt in (1, 2):
            try:
                # Wine's own helper processes (services.exe, ...) inherit stdout and stderr and
                # outlive the run: hand them files, never pipes.
                with open(out / "wine.log", "wb") as wine_log:
                    subprocess.run(argv, env=self.wine.env(overrides, env), stdin=subprocess.DEVNULL,
                                   stdout=wine_log, stderr=subprocess.STDOUT, timeout=stub.timeout + 60)
            except subprocess.TimeoutExpired:
                self.reset_wine()
                return RunResult(None, "harness timeout (rawrun did not end)", None, self.temp_names())
            # rawrun writes its result file whatever the stub does; without one, Wine itself did
            # not start rawrun (seen rarely right after a server restart). Only then is the run
            # repeated, once, and only if the stub left nothing behind in the temp folder.
            if result.exists() or attempt == 2 or report.exists() or self.temp_names():
                break
            log(f"note: Wine did not start rawrun ({self.wine.win_path(exe)}); restarting the server and repeating the run once")
            self.reset_wine()
        status = result.read_text().strip() if result.exists() else "error no result file"
        code = int(status.split()[1]) if status.startswith("exit ") else None
        if status == "timeout":
            self.reset_wine()   # the stub's children may still run
        rep = None
        if report.exists():
            try:
                rep = json.loads(report.read_text(encoding="utf-8"))
            except ValueError as e:
                rep = {"_broken": str(e)}
        return RunResult(code, status, rep, self.temp_names(), self.temp_tree())

    def reset_wine(self) -> None:
        self.wine.stop_server()
        self.wine.start_server()

    def temp_names(self) -> list[str]:
        return sorted(os.listdir(self.wine.temp)) if self.wine.temp.exists() else []

    def temp_tree(self) -> dict[str, tuple]:
        tree = {}
        for dirpath, dirnames, filenames in os.walk(self.wine.temp):
            rel = os.path.relpath(dirpath, self.wine.temp)
            for d in dirnames:
                tree[os.path.normpath(os.path.join(rel, d))] = ("dir",)
            for f in filenames:
                try:
                    size = os.lstat(os.path.join(dirpath, f)).st_size  # links not followed
                except FileNotFoundError:  # gone while listed: a case may still change the folder
                    continue
                tree[os.path.normpath(os.path.join(rel, f))] = ("file", size)
        return tree


# ----------------------------------------------------------------------------------------------
# Checks
# ----------------------------------------------------------------------------------------------

class Checks:
    def __init__(self):
        self.problems: list[str] = []

    def expect(self, cond: bool, msg: str) -> bool:
        if not cond:
            self.problems.append(msg)
        return cond

    def done(self) -> None:
        if self.problems:
            raise CaseFail(" | ".join(self.problems))


def check_exit(c: Checks, r: RunResult, want: int) -> None:
    c.expect(r.exit_code == want, f"exit code: want {want}, got {r.status}")


def check_staging_gone(c: Checks, r: RunResult) -> None:
    c.expect(not r.staging_dirs(), f"staging folder left behind: {r.staging_dirs()}")


def check_staging_left(c: Checks, r: RunResult, empty: bool | None = None) -> str | None:
    dirs = r.staging_dirs()
    if not c.expect(len(dirs) == 1, f"want exactly one staging folder left, temp holds {r.temp_entries}"):
        return None
    if empty is not None:
        inside = [k for k in r.temp_tree if k.startswith(dirs[0] + os.sep)]
        c.expect(not inside if empty else bool(inside),
                 f"staging folder should be {'empty' if empty else 'non-empty'}, holds {inside[:5]}")
    return dirs[0]


def check_report(c: Checks, r: RunResult, tail: str, *, want_tree: dict | None = None,
                 installer_rel: str = DEFAULT_INSTALLER, probe_exit: int | None = None) -> None:
    rep = r.report
    if not c.expect(rep is not None, "installer did not run (no probe report)"):
        return
    if not c.expect("_broken" not in rep, f"probe report unreadable: {rep.get('_broken')}"):
        return
    module = rep["modulePath"]["utf8"]
    m = re.match(re.escape(TEMP_WIN[0].rstrip("\\")) + r"\\(ZEB[0-9A-F]{1,4}\.tmp)\\(.*)$", module, re.I)
    if c.expect(m is not None, f"installer ran from {module!r}, not from a staging folder under %TEMP%"):
        c.expect(m.group(2).replace("/", "\\").lower() == installer_rel.replace("/", "\\").lower(),
                 f"installer path {m.group(2)!r}, want {installer_rel!r}")
    raw = probe_raw_line(rep)
    got_tail = parameter_tail(raw)
    # Byte for byte: the shell puts one space between the installer's quoted path and the parameters.
    want = " " + tail if tail else ""
    c.expect(got_tail == want, f"installer parameters: want {units_hex(want)} {want!r}, "
                               f"got {units_hex(got_tail)} {got_tail!r} (raw line {raw!r})")
    if want_tree is not None:
        d = diff_trees(want_tree, listing_tree(rep))
        c.expect(not d, f"unpacked files differ from the archive: {d}")


def check_argv(c: Checks, r: RunResult, want_args: list[str]) -> None:
    if r.report is None or "_broken" in r.report:
        return
    got = probe_argv(r.report)[1:]
    c.expect(got == want_args, f"installer argv[1:]: want {want_args!r}, got {got!r}")


def check_no_report(c: Checks, r: RunResult) -> None:
    c.expect(r.report is None, "the installer ran although the stub should have failed before the launch")


# ----------------------------------------------------------------------------------------------
# Cases
# ----------------------------------------------------------------------------------------------

# A parameter tail with quotes, spaces, backslashes, an escaped quote, an empty argument, a leading
# hyphen and non-ASCII text, and what CommandLineToArgvW makes of it.
TRICKY_TAIL = r' "a b"  c\"d "e\f\\" -x /y=1 "" ünï ファイル'
TRICKY_ARGS = ["a b", 'c"d', "e\\f\\", "-x", "/y=1", "", "ünï", "ファイル"]


def pseudo_random(n: int, seed: int) -> bytes:
    out, x = bytearray(), seed
    while len(out) < n:
        x = (x * 6364136223846793005 + 1442695040888963407) & (2**64 - 1)
        out += (x >> 33).to_bytes(4, "little")
    return bytes(out[:n])


def mixed_data(n: int, seed: int) -> bytes:
    """Compressible text interleaved with noise, so deflate and LZMA both have work to do."""
    line = b"The quick brown fox jumps over the lazy dog. 0123456789\r\n"
    text = line * (n // len(line) + 1)
    noise = pseudo_random(n, seed)
    return bytes(text[i] if (i // 64) % 3 else noise[i] for i in range(n))


class Cases:
    def __init__(self, h: Harness):
        self.h = h
        self.probe = h.programs["probe64"].read_bytes()

    # -- normal mode, no archive --------------------------------------------------------------
    def no_archive(self, stub: Stub) -> None:
        d = self.h.fresh_case("no-archive", stub)
        exe = self.h.place_stub(stub, d, b"")
        r = self.h.run(stub, exe, " /quiet")
        c = Checks()
        check_exit(c, r, FAILURE)
        check_no_report(c, r)
        check_staging_left(c, r, empty=True)
        c.done()

    # -- ZIP ----------------------------------------------------------------------------------
    def zip_entries(self) -> list[Entry]:
        return [
            Entry(DEFAULT_INSTALLER, self.probe, zipfile.ZIP_DEFLATED),
            Entry("readme.txt", b"stored text\r\n", zipfile.ZIP_STORED),
            Entry("docs/", b""),
            Entry("docs/guide/intro.txt", mixed_data(70_000, 1), zipfile.ZIP_DEFLATED),
            Entry("docs/ünïcødé/ファイル ä.txt", "grüße\n".encode(), zipfile.ZIP_DEFLATED),
            Entry("emptydir/", b""),
            Entry("empty.txt", b"", zipfile.ZIP_STORED),
            Entry("docs/guide/empty-deflated.bin", b"", zipfile.ZIP_DEFLATED),
            Entry("data/blob.bin", pseudo_random(50_000, 7), zipfile.ZIP_STORED),
        ]

    def zip_basic(self, stub: Stub) -> None:
        entries = self.zip_entries()
        payload = zip_payload(entries)
        d = self.h.fresh_case("zip-basic", stub)
        exe = self.h.place_stub(stub, d, payload)
        r = self.h.run(stub, exe, TRICKY_TAIL, probe_exit=3)
        c = Checks()
        check_exit(c, r, 3)
        check_report(c, r, TRICKY_TAIL, want_tree=expected_tree(entries))
        check_argv(c, r, TRICKY_ARGS)
        check_staging_gone(c, r)
        if r.report:
            cwd = r.report["currentDirectory"]["utf8"]
            c.expect(cwd.rstrip("\\").lower() == self.h.wine.win_path(d).lower(),
                     f"installer's current folder {cwd!r}: want the stub's, {self.h.wine.win_path(d)!r}")
        c.done()

    def zip_exit_codes(self, stub: Stub) -> None:
        entries = [Entry(DEFAULT_INSTALLER, self.probe), Entry("x/y.txt", b"y")]
        payload = zip_payload(entries)
        c = Checks()
        for code, tail in ((259, ""), (3010, " /S"), (0xC0000005, ' "/D=C:\\Program Files\\X"')):
            self.h.wine.clear_temp()
            d = self.h.fresh_case("zip-exit-codes", stub)
            exe = self.h.place_stub(stub, d, payload)
            r = self.h.run(stub, exe, tail, probe_exit=code, tag=f"exit{code}")
            check_exit(c, r, code)
            check_report(c, r, tail, want_tree=expected_tree(entries))
            check_staging_gone(c, r)
        c.done()

    def zip_launch(self, stub: Stub) -> None:
        entries = [
            Entry(".launch", b"sub\\setup.exe\r\nignored second line\r\n", zipfile.ZIP_STORED),
            Entry("sub/setup.exe", self.probe),
            Entry("sub/lib/data.bin", mixed_data(10_000, 3)),
            Entry("other.txt", b"other"),
        ]
        d = self.h.fresh_case("zip-launch", stub)
        exe = self.h.place_stub(stub, d, zip_payload(entries))
        r = self.h.run(stub, exe, " --flag value", probe_exit=7, list_up=1)
        c = Checks()
        check_exit(c, r, 7)
        check_report(c, r, " --flag value", want_tree=expected_tree(entries), installer_rel="sub\\setup.exe")
        check_staging_gone(c, r)
        c.done()

    def zip_launch_unusable(self, stub: Stub) -> None:
        """A .launch naming nothing that exists, or starting with a byte-order mark: exit 5, the
        staging folder left, nothing started."""
        c = Checks()
        for tag, launch in (("missing", b"sub\\nothing.exe\r\n"), ("bom", b"\xef\xbb\xbfsetup.exe\n")):
            self.h.wine.clear_temp()
            entries = [Entry(".launch", launch), Entry("setup.exe", self.probe), Entry("sub/x.txt", b"x"),
                       Entry(DEFAULT_INSTALLER, self.probe)]
            d = self.h.fresh_case("zip-launch-unusable", stub)
            exe = self.h.place_stub(stub, d, zip_payload(entries))
            r = self.h.run(stub, exe, " /q", tag=tag)
            check_exit(c, r, FAILURE)
            if r.report is not None:
                c.problems.append(f"[{tag}] an installer ran: {r.report['modulePath']['utf8']!r}")
            check_staging_left(c, r, empty=False)
        c.done()

    def zip_missing_installer(self, stub: Stub) -> None:
        entries = [Entry("setup.exe", self.probe), Entry("a/b.txt", b"b")]
        d = self.h.fresh_case("zip-missing-installer", stub)
        exe = self.h.place_stub(stub, d, zip_payload(entries))
        r = self.h.run(stub, exe, " /quiet", probe_exit=0)
        c = Checks()
        check_exit(c, r, FAILURE)
        check_no_report(c, r)
        staging = check_staging_left(c, r, empty=False)
        if staging:
            got = {k.split(os.sep, 1)[1].replace(os.sep, "/"): v[0] for k, v in r.temp_tree.items()
                   if k.startswith(staging + os.sep)}
            c.expect(got == {"setup.exe": "file", "a": "dir", "a/b.txt": "file"},
                     f"staging folder should hold the unpacked files, holds {got}")
        c.done()

    def zip_traversal(self, stub: Stub) -> None:
        c = Checks()
        variants = {
            "dotdot": [b"../evil.txt"],
            "backslash": [b"..\\evil.txt"],
            "nested": [b"sub/../../evil.txt"],
        }
        for tag, names in variants.items():
            self.h.wine.clear_temp()
            d = self.h.fresh_case("zip-traversal", stub)
            payload = raw_zip([(DEFAULT_INSTALLER.encode(), self.probe)] + [(n, b"evil") for n in names]
                              + [(b"after.txt", b"after")])
            exe = self.h.place_stub(stub, d, payload)
            r = self.h.run(stub, exe, " /quiet", tag=tag)
            check_exit(c, r, FAILURE)
            check_no_report(c, r)
            staging = check_staging_left(c, r)
            outside = [k for k in r.temp_tree if staging is None or
                       (k != staging and not k.startswith(staging + os.sep))]
            c.expect(not outside, f"[{tag}] written outside the staging folder: {outside}")
            inside = [k for k in r.temp_tree if staging and k.startswith(staging + os.sep)]
            c.expect(not any("evil" in k for k in inside), f"[{tag}] traversal entry unpacked: {inside}")
            c.expect(not (d / "evil.txt").exists() and not (d.parent / "evil.txt").exists(),
                     f"[{tag}] evil.txt appeared beside the stub")
            c.expect(staging is not None and os.path.join(staging, DEFAULT_INSTALLER) in r.temp_tree,
                     f"[{tag}] the entry before the bad one was not unpacked: {sorted(r.temp_tree)}")
        c.done()

    def zip_smuggled_record(self, stub: Stub) -> None:
        """A stored entry whose compressed size covers a hidden local record that its uncompressed
        size leaves out: ZIP listers never show that record. The stub refuses the entry: exit 5,
        nothing started, the hidden installer never unpacked."""
        hidden = raw_zip([(DEFAULT_INSTALLER.encode(), self.probe)], central=False)
        cover = b"honest text"
        crc = zlib.crc32(cover)
        record = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x21, crc, len(cover) + len(hidden),
                             len(cover), len(b"readme.txt"), 0) + b"readme.txt" + cover + hidden
        payload = record + raw_zip([(b"after.txt", b"after")])
        d = self.h.fresh_case("zip-smuggled-record", stub)
        exe = self.h.place_stub(stub, d, payload)
        r = self.h.run(stub, exe, " /quiet", probe_exit=0)
        c = Checks()
        check_exit(c, r, FAILURE)
        check_no_report(c, r)
        staging = check_staging_left(c, r)
        inside = [k for k in r.temp_tree if staging and k.startswith(staging + os.sep)]
        c.expect(not inside, f"nothing of the refused entry may be unpacked: {inside}")
        c.done()

    def default_installer_folder(self, stub: Stub) -> None:
        """The default installer name is a folder: exit 5 at once (the shell would open a folder
        window and the stub would wait on it for ever)."""
        entries = [Entry(DEFAULT_INSTALLER + "/", b""), Entry(DEFAULT_INSTALLER + "/inner.txt", b"inner"),
                   Entry("setup.exe", self.probe)]
        d = self.h.fresh_case("default-installer-folder", stub)
        exe = self.h.place_stub(stub, d, zip_payload(entries))
        started = time.monotonic()
        r = self.h.run(stub, exe, " /quiet")
        took = time.monotonic() - started
        c = Checks()
        check_exit(c, r, FAILURE)
        check_no_report(c, r)
        check_staging_left(c, r, empty=False)
        c.expect(took < stub.timeout / 2, f"the stub took {took:.0f} s to give up")
        c.done()

    def tab_after_program_name(self, stub: Stub) -> None:
        """An unquoted program name ends at a tab, as Windows splits arguments: with the raw line
        `setup.exe<TAB>first second` the installer gets both parameters."""
        entries = [Entry(DEFAULT_INSTALLER, self.probe)]
        d = self.h.fresh_case("tab-after-name", stub)
        exe = self.h.place_stub(stub, d, zip_payload(entries), name="setup.exe")
        r = self.h.run(stub, exe, raw=f"{self.h.wine.win_path(exe)}\tfirst second", probe_exit=4)
        c = Checks()
        check_exit(c, r, 4)
        check_report(c, r, "first second")
        check_argv(c, r, ["first", "second"])
        check_staging_gone(c, r)
        c.done()

    def long_launch_file(self, stub: Stub) -> None:
        """A .launch of thousands of bytes whose first line is short: only that line counts."""
        launch = b"bin\\setup.exe\r\n" + b"# comment " * 600 + b"\r\n..\\outside.exe\r\n"
        entries = [Entry(".launch", launch), Entry("bin/setup.exe", self.probe), Entry("data.txt", b"data")]
        d = self.h.fresh_case("long-launch", stub)
        exe = self.h.place_stub(stub, d, zip_payload(entries))
        r = self.h.run(stub, exe, " /S", probe_exit=6, list_up=1)
        c = Checks()
        check_exit(c, r, 6)
        check_report(c, r, " /S", want_tree=expected_tree(entries), installer_rel="bin\\setup.exe")
        check_staging_gone(c, r)
        c.done()

    # -- 7z -----------------------------------------------------------------------------------
    def sevenzip_entries(self, installer: str = DEFAULT_INSTALLER) -> list[Entry]:
        return [
            Entry(installer, self.probe),
            Entry("readme.txt", b"7z readme\r\n"),
            Entry("docs/guide/intro.txt", mixed_data(90_000, 11)),
            Entry("docs/ünïcødé/ファイル ä.txt", "grüße\n".encode()),
            Entry("docs/guide/empty.txt", b""),
            Entry("empty.bin", b""),
            Entry("bin/tool.dat", pseudo_random(30_000, 5)),
            Entry("emptydir/", b""),
        ]

    def sevenzip_payload(self, key: str, entries: list[Entry], switches: list[str]) -> tuple[bytes, list]:
        if key not in self.h.cache:
            self.h.cache[key] = make_7z(self.h.work / key, entries, switches)
        return self.h.cache[key]  # type: ignore[return-value]

    def sevenzip_bcj(self, stub: Stub) -> None:
        entries = self.sevenzip_entries()
        payload, listing = self.sevenzip_payload("7z-bcj", entries, ["-m0=BCJ", "-m1=LZMA"])
        methods = {i.get("Method", "") for i in listing if i.get("Size", "0") != "0"}
        if not all("BCJ" in m and "LZMA" in m and "LZMA2" not in m for m in methods):
            raise CaseFail(f"harness: 7z payload methods {methods}, want BCJ + LZMA")
        d = self.h.fresh_case("7z-bcj", stub)
        exe = self.h.place_stub(stub, d, payload)
        r = self.h.run(stub, exe, TRICKY_TAIL, probe_exit=3010)
        c = Checks()
        check_exit(c, r, 3010)
        check_report(c, r, TRICKY_TAIL, want_tree=expected_tree(entries))
        check_argv(c, r, TRICKY_ARGS)
        check_staging_gone(c, r)
        c.done()

    def sevenzip_multi_folder(self, stub: Stub) -> None:
        """An installer of several folders: the stub's workers unpack them at once (as many as the
        machine's processors allow). Every file's size and CRC is checked, and nothing stays."""
        entries = [Entry(DEFAULT_INSTALLER, self.probe)] + [
            Entry(f"part{k % 3}/data{k}.bin", mixed_data(1_200_000 + 300_000 * k, 40 + k)) for k in range(8)
        ] + [Entry("part0/small.txt", b"small\n"), Entry("empty.txt", b"")]
        payload, listing = self.multi_folder_payload(entries)
        folders = {i["Block"] for i in listing if i.get("Block")}
        if len(folders) < 4:
            raise CaseFail(f"harness: the payload has {len(folders)} folders, want at least 4")
        d = self.h.fresh_case("7z-multi-folder", stub)
        exe = self.h.place_stub(stub, d, payload)
        r = self.h.run(stub, exe, " /S", probe_exit=0)
        c = Checks()
        check_exit(c, r, 0)
        check_report(c, r, " /S", want_tree=expected_tree(entries))
        check_staging_gone(c, r)
        c.done()

    def multi_folder_payload(self, entries: list[Entry]) -> tuple[bytes, list]:
        """A folder every 2 MB of input: from sfxtool pack when it takes --block-size, else 7zz."""
        key = "7z-multi"
        if key in self.h.cache:
            return self.h.cache[key]  # type: ignore[return-value]
        tool = REPO / "build" / "host" / "sfxtool"
        help_text = subprocess.run([str(tool), "pack", "--help"], capture_output=True, text=True).stdout \
            if tool.exists() else ""
        if "--block-size" in help_text:
            work = self.h.work / key
            shutil.rmtree(work, ignore_errors=True)
            src = work / "src"
            for e in entries:
                (src / e.name).parent.mkdir(parents=True, exist_ok=True)
                (src / e.name).write_bytes(e.data)
            out = work / "packed.exe"
            stub = REPO / "build" / "win64" / "SelfExtractor.exe"
            packed = subprocess.run([str(tool), "pack", "--payload", str(src), "--stub", str(stub),
                                     "--block-size", str(2 << 20), "-o", str(out)], capture_output=True)
            if packed.returncode == 0:
                payload = out.read_bytes()[stub.stat().st_size:]
                archive = work / "payload.7z"
                archive.write_bytes(payload)
                self.h.cache[key] = (payload, list_7z(archive))
        if key not in self.h.cache:
            self.h.cache[key] = make_7z(self.h.work / key, entries, ["-m0=LZMA", "-ms=2m"])
        return self.h.cache[key]  # type: ignore[return-value]

    def sevenzip_launch(self, stub: Stub) -> None:
        entries = self.sevenzip_entries("Werkzeug ü/Setup Program.exe") + [
            Entry(".launch", "Werkzeug ü\\Setup Program.exe\n".encode())]
        payload, _ = self.sevenzip_payload("7z-launch", entries, ["-m0=BCJ", "-m1=LZMA"])
        d = self.h.fresh_case("7z-launch", stub)
        exe = self.h.place_stub(stub, d, payload)
        tail = ' /LOG="C:\\temp dir\\log.txt" -silent'
        r = self.h.run(stub, exe, tail, probe_exit=259, list_up=1)
        c = Checks()
        check_exit(c, r, 259)
        check_report(c, r, tail, want_tree=expected_tree(entries), installer_rel="Werkzeug ü\\Setup Program.exe")
        check_argv(c, r, ["/LOG=C:\\temp dir\\log.txt", "-silent"])
        check_staging_gone(c, r)
        c.done()

    def sevenzip_plain_lzma(self, stub: Stub) -> None:
        entries = self.sevenzip_entries()
        payload, _ = self.sevenzip_payload("7z-lzma", entries, ["-m0=LZMA"])
        d = self.h.fresh_case("7z-lzma", stub)
        exe = self.h.place_stub(stub, d, payload)
        r = self.h.run(stub, exe, " /S", probe_exit=1)
        c = Checks()
        check_exit(c, r, 1)
        check_report(c, r, " /S", want_tree=expected_tree(entries))
        check_staging_gone(c, r)
        c.done()

    def sevenzip_trailing_data(self, stub: Stub) -> None:
        """Data after the archive, as a signed stub carries its certificate table: ignored."""
        entries = self.sevenzip_entries()
        payload, _ = self.sevenzip_payload("7z-bcj", entries, ["-m0=BCJ", "-m1=LZMA"])
        trailer = b"\0" * 8 + struct.pack("<IHH", 0x400, 0x200, 2) + pseudo_random(0x3F8, 21)
        d = self.h.fresh_case("7z-trailing-data", stub)
        exe = self.h.place_stub(stub, d, payload + trailer)
        r = self.h.run(stub, exe, " /S", probe_exit=2)
        c = Checks()
        check_exit(c, r, 2)
        check_report(c, r, " /S", want_tree=expected_tree(entries))
        check_staging_gone(c, r)
        c.done()

    def sevenzip_traversal(self, stub: Stub) -> None:
        """A 7z entry named "../evil.txt": exit 5, nothing written outside the staging folder, nothing
        started. 7zz never writes such a name, so the archive is made with a placeholder folder
        "a_" in a plain (unpacked) header, the name patched and both header CRCs recomputed."""
        key = "7z-traversal"
        if key not in self.h.cache:
            entries = [Entry(DEFAULT_INSTALLER, self.probe), Entry("a_/evil.txt", b"evil\n"),
                       Entry("zzz.txt", b"after\n"), Entry("before.txt", b"")]
            payload, _ = make_7z(self.h.work / key, entries, ["-m0=LZMA", "-mhc=off", "-ms=off"])
            data = bytearray(payload)
            old, new = "a_/evil.txt".encode("utf-16-le"), "../evil.txt".encode("utf-16-le")
            if data.count(old) != 1:
                raise CaseFail("harness: placeholder name not found once in the 7z header")
            at = data.index(old)
            data[at:at + len(old)] = new
            next_off, next_size = struct.unpack_from("<QQ", data, 12)
            header = bytes(data[32 + next_off:32 + next_off + next_size])
            struct.pack_into("<I", data, 28, zlib.crc32(header))
            struct.pack_into("<I", data, 8, zlib.crc32(bytes(data[12:32])))
            check = self.h.work / key / "patched.7z"
            check.write_bytes(bytes(data))
            listed = [i["Path"] for i in list_7z(check)]
            # An empty file comes before every file with data in a 7z archive's entry order.
            if "../evil.txt" not in listed or listed.index("before.txt") > listed.index("../evil.txt"):
                raise CaseFail(f"harness: patched 7z lists {listed}, want before.txt ahead of ../evil.txt")
            t = subprocess.run(["7zz", "t", str(check)], capture_output=True, text=True)
            if t.returncode != 0:
                raise CaseFail(f"harness: patched 7z does not test as sound: {t.stdout[-300:]}")
            self.h.cache[key] = bytes(data)
        payload = self.h.cache[key]
        d = self.h.fresh_case(key, stub)
        exe = self.h.place_stub(stub, d, payload)  # type: ignore[arg-type]
        r = self.h.run(stub, exe, " /quiet")
        c = Checks()
        check_exit(c, r, FAILURE)
        check_no_report(c, r)
        staging = check_staging_left(c, r)
        outside = [k for k in r.temp_tree if staging is None or
                   (k != staging and not k.startswith(staging + os.sep))]
        c.expect(not outside, f"written outside the staging folder: {outside}")
        c.expect(not any("evil" in k for k in r.temp_tree), f"traversal entry unpacked: {sorted(r.temp_tree)}")
        # The entry before it was unpacked: the archive opened, and the stop came at the bad name.
        c.expect(staging is not None and os.path.join(staging, "before.txt") in r.temp_tree,
                 f"before.txt (the entry ahead of the bad one) was not unpacked: {sorted(r.temp_tree)}")
        c.done()

    def sevenzip_corrupt_later(self, stub: Stub) -> None:
        """One folder per file: the installer's folder decodes, a later folder is corrupt. The
        extraction stops there and the installer still runs with what was written before."""
        key = "7z-corrupt"
        if key not in self.h.cache:
            entries = [Entry(DEFAULT_INSTALLER, self.probe), Entry("a.txt", b"first file\n"),
                       Entry("zz/late.bin", pseudo_random(40_000, 9)), Entry("zz/zzz-after.txt", b"after\n"),
                       Entry("zz/empty.txt", b"")]
            payload, listing = make_7z(self.h.work / key, entries, ["-m0=BCJ", "-m1=LZMA", "-ms=off"])
            # Folders follow the order of the entries that have data; find late.bin's packed range.
            offset, target = 32, None
            for item in listing:
                packed = int(item.get("Packed Size") or 0)
                if item["Path"] == "zz/late.bin":
                    target = (offset, packed)
                offset += packed
            if target is None or target[1] < 1000:
                raise CaseFail(f"harness: cannot place late.bin's folder in {listing}")
            order = [i["Path"] for i in listing]
            if order.index(DEFAULT_INSTALLER) > order.index("zz/late.bin"):
                raise CaseFail(f"harness: installer not before late.bin in the archive: {order}")
            data = bytearray(payload)
            mid = target[0] + target[1] // 2
            for k in range(mid, mid + 64):
                data[k] ^= 0x5A
            corrupt = self.h.work / key / "corrupt.7z"
            corrupt.write_bytes(bytes(data))
            t = subprocess.run(["7zz", "t", str(corrupt)], capture_output=True, text=True)
            if t.returncode == 0:
                raise CaseFail("harness: the corrupted archive still tests as sound")
            # What the stub writes: every file entry in archive order up to the broken one.
            names = []
            for i in order:
                if i == "zz/late.bin":
                    break
                names.append(i)
            by_name = {e.name: e for e in entries}
            want = expected_tree([by_name[n] for n in names if n in by_name])
            self.h.cache[key] = (bytes(data), want)
        payload, want = self.h.cache[key]  # type: ignore[misc]
        d = self.h.fresh_case(key, stub)
        exe = self.h.place_stub(stub, d, payload)
        r = self.h.run(stub, exe, " /repair", probe_exit=4)
        c = Checks()
        check_exit(c, r, 4)
        check_report(c, r, " /repair", want_tree=want)
        check_staging_gone(c, r)
        c.done()

    def sevenzip_pack_folders(self, stub: Stub) -> None:
        """An installer that sfxtool pack made in several folders (--block-size 64K, four 7zz at
        once): every file unpacked with its size and CRC, the probe run, no staging folder left."""
        key = f"7z-pack-folders-{stub.label}"
        entries = [e for e in self.sevenzip_entries() if not e.name.endswith("/")]
        entries += [Entry(f"docs/pages/page{i:02d}.txt", mixed_data(9_000 + 1_000 * i, 30 + i)) for i in range(16)]
        entries += [Entry("bin/big.dat", pseudo_random(150_000, 6)), Entry("zz/last.txt", b"the last folder\n")]
        if key not in self.h.cache:
            tool = REPO / "build" / "host" / "sfxtool"
            if not tool.is_file():
                raise CaseFail(f"sfxtool not built: {tool} (cmake --build --preset host)")
            work = self.h.work / key
            shutil.rmtree(work, ignore_errors=True)
            for e in entries:
                (work / "src" / e.name).parent.mkdir(parents=True, exist_ok=True)
                (work / "src" / e.name).write_bytes(e.data)
            out = work / "setup.exe"
            r = subprocess.run([str(tool), "pack", "--stub", str(stub.path), "--payload", str(work / "src"),
                                "--block-size", "64K", "--jobs", "4", "-o", str(out)],
                               capture_output=True, text=True, stdin=subprocess.DEVNULL)
            if r.returncode != 0:
                raise CaseFail(f"sfxtool pack exit {r.returncode}: {r.stderr.strip()}")
            info = json.loads(subprocess.run([str(tool), "inspect", "--json", str(out)], capture_output=True,
                                             text=True, check=True).stdout)
            if len(info["folders"]) < 4:
                raise CaseFail(f"harness: {len(info['folders'])} folders, want several: {info['folders']}")
            self.h.cache[key] = out.read_bytes()
        d = self.h.fresh_case("7z-pack-folders", stub)
        exe = d / STUB_NAME
        exe.write_bytes(self.h.cache[key])  # type: ignore[arg-type]
        r = self.h.run(stub, exe, " /S", probe_exit=7)
        c = Checks()
        check_exit(c, r, 7)
        check_report(c, r, " /S", want_tree=expected_tree(entries))
        check_staging_gone(c, r)
        c.done()

    # -- relaunch -----------------------------------------------------------------------------
    def relaunch_pair(self, stub: Stub, case: str, *, tail: str | None = None, raw: str | None = None,
                      dll_is_folder: bool = False) -> None:
        entries = [Entry(DEFAULT_INSTALLER, self.probe), Entry("sub/file.txt", b"file")]
        payload = zip_payload(entries)
        c = Checks()

        # Normal mode, same command line, for reference.
        normal_dir = self.h.fresh_case(case, stub) / "normal"
        exe_n = self.h.place_stub(stub, normal_dir, payload)
        line_n = raw if raw is not None else f'"{self.h.wine.win_path(exe_n)}"{tail}'
        rn = self.h.run(stub, exe_n, raw=line_n, probe_exit=3010, tag="normal")
        check_exit(c, rn, 3010)
        if not c.expect(rn.report is not None, "normal-mode reference run: installer did not run"):
            c.done()
        check_report(c, rn, parameter_tail(line_n), want_tree=expected_tree(entries))
        self.h.wine.clear_temp()

        # Relaunch mode: a DLL beside the stub.
        dll_dir = self.h.case_dir(case, stub) / "with-dll"
        exe = self.h.place_stub(stub, dll_dir, payload)
        if dll_is_folder:
            (dll_dir / "x.dll").mkdir()
        else:
            (dll_dir / "x.dll").write_bytes(b"not really a library")
        line = raw if raw is not None else f'"{self.h.wine.win_path(exe)}"{tail}'
        r = self.h.run(stub, exe, raw=line, probe_exit=3010, list_up=1, tag="relaunch")
        check_exit(c, r, 3010)
        if c.expect(r.report is not None and "_broken" not in r.report, "relaunch: installer did not run"):
            rep = r.report
            # The probe listed the temp folder: one GUID folder holding only the copy, and the staging folder.
            tree = listing_tree(rep)
            guids = [k for k in tree if "/" not in k and GUID_RE.match(k)]
            if c.expect(len(guids) == 1, f"relaunch: want one GUID folder in %TEMP% while the copy ran, "
                                         f"saw {sorted(k for k in tree if '/' not in k)}"):
                g = guids[0]
                inside = {k[len(g) + 1:]: v for k, v in tree.items() if k.startswith(g + "/")}
                image = exe.read_bytes()
                c.expect(inside == {"ZEBInstaller.exe": ("file", len(image), f"{zlib.crc32(image):08x}")},
                         f"relaunch: GUID folder should hold only the copy ZEBInstaller.exe, holds {inside}")
                cwd = rep["currentDirectory"]["utf8"].rstrip("\\")
                c.expect(cwd.lower() == (TEMP_WIN[0].rstrip("\\") + "\\" + g).lower(),
                         f"relaunch: the copy's working folder should be its GUID folder, installer saw {cwd!r}")
            stagings = [k for k in tree if "/" not in k and STAGING_RE.match(k)]
            c.expect(len(stagings) == 1, f"relaunch: want one staging folder while the installer ran, "
                                         f"saw {sorted(k for k in tree if '/' not in k)}")
            t_n, t_r = parameter_tail(probe_raw_line(rn.report)), parameter_tail(probe_raw_line(rep))
            c.expect(t_n.lstrip(" ") == t_r.lstrip(" "),
                     f"relaunch: raw parameters differ from normal mode: {units_hex(t_r)} {t_r!r} "
                     f"vs {units_hex(t_n)} {t_n!r}")
            a_n, a_r = probe_argv(rn.report)[1:], probe_argv(rep)[1:]
            c.expect(a_n == a_r, f"relaunch: argv[1:] {a_r!r} differs from normal mode {a_n!r}")
        check_staging_gone(c, r)
        left = [k for g in r.guid_dirs() for k in r.temp_tree if k == g or k.startswith(g + os.sep)]
        c.expect(not r.guid_dirs(), f"relaunch: GUID folder left behind: {left}")
        c.expect(not [n for n in r.temp_entries if n.lower().endswith(".exe")],
                 f"relaunch: stray program in %TEMP%: {r.temp_entries}")
        c.done()

    def relaunch(self, stub: Stub) -> None:
        tail = r' -a "C:\My Files\\" back\slash\\tail "q\"uote"  ünï "ファイル ä" --opt="x y"'
        self.relaunch_pair(stub, "relaunch", tail=tail)

    def relaunch_hyphen_line(self, stub: Stub) -> None:
        # A command line that starts with "-" is passed on whole.
        self.relaunch_pair(stub, "relaunch-hyphen-line", raw='-silent "C:\\a b\\" x')

    def relaunch_dll_folder(self, stub: Stub) -> None:
        # A folder named like a DLL counts as much as a file; no parameters at all.
        self.relaunch_pair(stub, "relaunch-dll-folder", tail="", dll_is_folder=True)

    # -- planted libraries --------------------------------------------------------------------
    def planted_dll(self, stub: Stub, case: str, dll: str, control_load: str) -> None:
        """A DLL of our own named `dll`, beside the stub and in its current folder, with Wine told
        to prefer a native copy of that name: the stub must not load it. The marker DLL appends the
        image path of every process it enters to "<dll>.loaded". A control first shows that an
        unhardened program does take the planted copy (loading `control_load` by bare name), so the
        check can fail, and whether a program takes it already at start-up through its static
        imports, before any of its own code runs."""
        stem = dll[:-4]
        overrides = f"{BASE_OVERRIDES};{stem}=n,b"
        marker = self.h.programs[f"marker{stub.bits}"].read_bytes()
        payload = zip_payload([Entry(DEFAULT_INSTALLER, self.probe)])
        base = self.h.fresh_case(case, stub)
        c = Checks()

        def loads(folder: Path) -> list[str]:
            f = folder / f"{dll}.loaded"
            return f.read_text("utf-8").splitlines() if f.exists() else []

        def control(tag: str, loadlib: str | None) -> list[str]:
            folder = base / tag
            folder.mkdir()
            (folder / dll).write_bytes(marker)
            exe = folder / "probe.exe"
            shutil.copy(self.h.programs[f"probe{stub.bits}"], exe)
            extra = {"SFX_PROBE_REPORT": ""} | ({"SFX_PROBE_LOADLIB": loadlib} if loadlib else {})
            r = self.h.run(stub, exe, "", overrides=overrides, extra_env=extra, tag=tag)
            c.expect(r.exit_code == 0, f"{tag}: control program failed: {r.status}")
            return [l for l in loads(folder) if l.lower().endswith("probe.exe")]

        at_start = control("control-startup", None)
        by_name = control("control-loadlib", control_load)
        c.expect(bool(by_name), f"control: an unhardened program loading {control_load} by name did not "
                                f"take the planted {dll}, so this check could not fail")
        self.h.wine.clear_temp()

        observed = []
        for tag in ("beside", "current"):
            stub_dir = base / tag if tag == "beside" else base / "clean"
            planted = base / tag
            exe = self.h.place_stub(stub, stub_dir, payload)
            planted.mkdir(exist_ok=True)
            (planted / dll).write_bytes(marker)   # beside the stub: also relaunch mode
            r = self.h.run(stub, exe, " /x", probe_exit=3, overrides=overrides,
                           cwd=planted if tag == "current" else None, tag=tag)
            check_exit(c, r, 3)
            c.expect(r.report is not None, f"{tag}: installer did not run")
            stub_lines = [l for l in loads(planted) if not l.lower().endswith(DEFAULT_INSTALLER.lower())]
            why = (" (an unhardened program takes it at start-up too, through its static imports: "
                   "the load comes before any code of the stub runs)") if at_start else ""
            c.expect(not stub_lines, f"{tag}: the planted {dll} was loaded into {stub_lines}{why}")
            observed.append(f"{tag}={len(stub_lines)}")
            self.h.wine.clear_temp()
        log(f"  note {case} [{stub.label}]: loads of the planted {dll}: control at start-up={len(at_start)}, "
            f"control by name={len(by_name)}, stub {' '.join(observed)}")
        c.done()

    def planted_version(self, stub: Stub) -> None:
        self.planted_dll(stub, "planted-version", "version.dll", "version.dll")

    def planted_secur32(self, stub: Stub) -> None:
        self.planted_dll(stub, "planted-secur32", "secur32.dll", "secur32.dll")

    def planted_dependency(self, stub: Stub) -> None:
        # iphlpapi.dll is no preloaded library itself but a dependency of one (netapi32.dll): only
        # the narrowed search path keeps a planted copy out.
        self.planted_dll(stub, "planted-dependency", "iphlpapi.dll", "netapi32.dll")


CASES = [
    ("no-archive", Cases.no_archive),
    ("zip-basic", Cases.zip_basic),
    ("zip-exit-codes", Cases.zip_exit_codes),
    ("zip-launch", Cases.zip_launch),
    ("zip-launch-unusable", Cases.zip_launch_unusable),
    ("zip-missing-installer", Cases.zip_missing_installer),
    ("zip-traversal", Cases.zip_traversal),
    ("zip-smuggled-record", Cases.zip_smuggled_record),
    ("default-installer-folder", Cases.default_installer_folder),
    ("tab-after-name", Cases.tab_after_program_name),
    ("long-launch", Cases.long_launch_file),
    ("7z-bcj", Cases.sevenzip_bcj),
    ("7z-launch", Cases.sevenzip_launch),
    ("7z-multi-folder", Cases.sevenzip_multi_folder),
    ("7z-lzma", Cases.sevenzip_plain_lzma),
    ("7z-trailing-data", Cases.sevenzip_trailing_data),
    ("7z-corrupt-later", Cases.sevenzip_corrupt_later),
    ("7z-traversal", Cases.sevenzip_traversal),
    ("7z-pack-folders", Cases.sevenzip_pack_folders),
    ("relaunch", Cases.relaunch),
    ("relaunch-hyphen-line", Cases.relaunch_hyphen_line),
    ("relaunch-dll-folder", Cases.relaunch_dll_folder),
    ("planted-version", Cases.planted_version),
    ("planted-secur32", Cases.planted_secur32),
    ("planted-dependency", Cases.planted_dependency),
]


class Tally:
    """Runs cases one at a time, each from a clean temp folder, and counts them: a "PASS",
    "FAIL" (a harness fault too, never a pass) or "SKIP" line each, then the RESULT line."""

    def __init__(self, wine: Wine):
        self.wine = wine
        self.passed = self.failed = self.skipped = 0

    def run(self, name: str, stub: Stub, call, *, needs_win32_route: bool = True) -> None:
        self.wine.clear_temp()
        started = time.monotonic()
        try:
            if needs_win32_route and stub.bits == "32" and not self.wine.win32_ok:
                raise CaseSkip(f"32-bit route unavailable: {self.wine.win32_reason}")
            call()
            self.passed += 1
            log(f"PASS {name} [{stub.label}] ({time.monotonic() - started:.1f}s)")
        except CaseSkip as e:
            self.skipped += 1
            log(f"SKIP {name} [{stub.label}]: {e}")
        except CaseFail as e:
            self.failed += 1
            log(f"FAIL {name} [{stub.label}]: {e}")
        except Exception as e:  # a harness fault is a failure too, never a pass
            self.failed += 1
            log(f"FAIL {name} [{stub.label}]: harness error {type(e).__name__}: {e}")

    def result(self) -> int:
        print(f"RESULT passed={self.passed} failed={self.failed} skipped={self.skipped}", flush=True)
        return 1 if self.failed else 0


def drive(doc: str, cases: list, make_cases, root: str, *, prefix: Path | None = None,
          timeout32: int = 120, timeout64: int = 60, prepare=None, wrap_wine=None, after_case=None) -> int:
    """The main of a suite of cases that reuses this harness: parses --win32/--win64/--only/--keep/
    --prefix/--programs/--timeout32/--timeout64, takes the prefix's lock, builds the programs, sets
    Wine up and runs every selected case of `cases` ((name, function) pairs) on each stub in a
    fresh harness rooted at drive_c/`root`. `make_cases(h, programs_dir)` gives the object the
    functions are called on; `prepare(args)` may refuse the run (a message: one failure);
    `wrap_wine(wine)` may replace the Wine record; `after_case(h, name, stub)` runs after each case."""
    ap = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--win32", type=Path)
    ap.add_argument("--win64", type=Path)
    ap.add_argument("--only")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--prefix", type=Path,
                    default=prefix or Path(os.environ.get("SFX_WINEPREFIX", REPO / "build" / "wineprefix")))
    ap.add_argument("--programs", type=Path, default=REPO / "build" / "e2e-programs")
    ap.add_argument("--timeout32", type=int, default=timeout32)
    ap.add_argument("--timeout64", type=int, default=timeout64)
    args = ap.parse_args()
    if not args.win32 and not args.win64:
        ap.error("give --win32 and/or --win64")
    refusal = prepare(args) if prepare else None
    if refusal:
        print(refusal, file=sys.stderr)
        print("RESULT passed=0 failed=1 skipped=0")
        return 1
    stubs = []
    if args.win32:
        stubs.append(Stub("win32", args.win32.resolve(), "32", args.timeout32))
    if args.win64:
        stubs.append(Stub("win64", args.win64.resolve(), "64", args.timeout64))

    # One run per prefix at a time: a run stops the prefix's server and clears its temp folder.
    args.prefix.parent.mkdir(parents=True, exist_ok=True)
    lock = open(args.prefix.parent / f"{args.prefix.name}.lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        log(f"{root}: another run holds {args.prefix}; waiting for it")
        fcntl.flock(lock, fcntl.LOCK_EX)

    programs = build_programs(args.programs)
    wine = setup_wine(args.prefix)
    if wrap_wine:
        wine = wrap_wine(wine)
    TEMP_WIN[0] = wine.temp_win
    if not wine.win32_ok and args.win32:
        bar = "!" * 78
        log(f"{bar}\n!! 32-bit route UNAVAILABLE: {wine.win32_reason}\n!! every win32 case is SKIPPED "
            f"and none counts as passed\n{bar}")
    wine.stop_server()
    wine.start_server()
    h = Harness(wine, programs, args.keep)
    h.root = wine.drive_c / root
    shutil.rmtree(h.root, ignore_errors=True)
    h.root.mkdir(parents=True)
    suite = make_cases(h, args.programs)
    tally = Tally(wine)
    t0 = time.monotonic()
    try:
        for name, fn in cases:
            for stub in stubs:
                if not selected(args.only, name, stub.label):
                    continue
                tally.run(name, stub, lambda: fn(suite, stub))
                if after_case:
                    after_case(h, name, stub)
                if not args.keep:
                    shutil.rmtree(h.case_dir(name, stub), ignore_errors=True)
                    shutil.rmtree(h.root / f"{name}-{stub.label}.out", ignore_errors=True)
    finally:
        wine.clear_temp()
        wine.stop_server()
    log(f"({time.monotonic() - t0:.0f}s)")
    if not wine.win32_ok and args.win32:
        log(f"!! 32-bit route UNAVAILABLE ({wine.win32_reason}): the win32 cases were SKIPPED, not passed")
    return tally.result()


def selected(pattern: str | None, case: str, stub: str) -> bool:
    if not pattern:
        return True
    full = f"{case} [{stub}]"
    if any(ch in pattern for ch in "*?["):
        return fnmatch.fnmatch(case, pattern) or fnmatch.fnmatch(full, pattern)
    return pattern in full


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--win32", type=Path, help="the 32-bit stub (build/win32/SelfExtractor.exe)")
    ap.add_argument("--win64", type=Path, help="the 64-bit stub (build/win64/SelfExtractor.exe)")
    ap.add_argument("--only", help="substring of 'case [stub]', or a glob on the case name")
    ap.add_argument("--keep", action="store_true",
                    help="keep the case folders (and a copy of what each left in %%TEMP%%) under drive_c/e2e")
    ap.add_argument("--prefix", type=Path,
                    default=Path(os.environ.get("SFX_WINEPREFIX", REPO / "build" / "wineprefix")),
                    help="the private Wine prefix (default $SFX_WINEPREFIX or build/wineprefix)")
    ap.add_argument("--programs", type=Path, default=REPO / "build" / "e2e-programs",
                    help="where the probe, rawrun and the marker DLLs are built")
    ap.add_argument("--timeout32", type=int, default=120, help="seconds per 32-bit process (emulated)")
    ap.add_argument("--timeout64", type=int, default=60, help="seconds per 64-bit process")
    ap.add_argument("--list", action="store_true", help="list the cases and exit")
    args = ap.parse_args()
    if args.list:
        for name, _ in CASES:
            print(name)
        return 0
    if not args.win32 and not args.win64:
        ap.error("give --win32 and/or --win64")

    stubs = []
    if args.win32:
        stubs.append(Stub("win32", args.win32.resolve(), "32", args.timeout32))
    if args.win64:
        stubs.append(Stub("win64", args.win64.resolve(), "64", args.timeout64))

    # One run per prefix at a time: a run stops the prefix's wineserver and clears its temp folder.
    args.prefix.parent.mkdir(parents=True, exist_ok=True)
    lock = open(args.prefix.parent / f"{args.prefix.name}.lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        log(f"e2e: another run holds {args.prefix}; waiting for it")
        fcntl.flock(lock, fcntl.LOCK_EX)

    programs = build_programs(args.programs)
    wine = setup_wine(args.prefix)
    TEMP_WIN[0] = wine.temp_win
    if not wine.win32_ok and args.win32:
        bar = "!" * 78
        log(f"{bar}\n!! 32-bit route UNAVAILABLE: {wine.win32_reason}\n!! every win32 case is SKIPPED "
            f"and none counts as passed\n{bar}")
    wine.stop_server()   # stray programs of an earlier run
    wine.start_server()
    h = Harness(wine, programs, args.keep)
    shutil.rmtree(h.root, ignore_errors=True)
    cases = Cases(h)
    tally = Tally(wine)
    t0 = time.monotonic()
    try:
        for name, fn in CASES:
            for stub in stubs:
                if not selected(args.only, name, stub.label):
                    continue
                tally.run(name, stub, lambda: fn(cases, stub))
                if args.keep:   # what the last run of the case left in %TEMP%, for a look
                    shutil.copytree(wine.temp, h.root / f"{name}-{stub.label}.temp-after",
                                    dirs_exist_ok=True, ignore_dangling_symlinks=True)
                else:
                    shutil.rmtree(h.root / f"{name}-{stub.label}", ignore_errors=True)
                    shutil.rmtree(h.root / f"{name}-{stub.label}.out", ignore_errors=True)
    finally:
        wine.clear_temp()
        wine.stop_server()
    log(f"({time.monotonic() - t0:.0f}s)")
    if not wine.win32_ok and args.win32:
        log(f"!! 32-bit route UNAVAILABLE ({wine.win32_reason}): the win32 cases were SKIPPED, not passed")
    return tally.result()


if __name__ == "__main__":
    sys.exit(main())
