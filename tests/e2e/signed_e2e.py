#!/usr/bin/env python3
"""End-to-end test of signed installers: sfxtool pack, Authenticode signing, verification, Wine.

    tests/e2e/signed_e2e.py --win32 build/win32/SelfExtractor.exe --win64 build/win64/SelfExtractor.exe
                            [--sfxtool build/host/sfxtool] [--only PATTERN] [--keep] [--prefix DIR]

For each stub and each archive format: a payload folder (the probe installer and data files) is
packed with `sfxtool pack`, signed with osslsigncode and a throw-away certificate made by openssl
for this run, and then
  - `osslsigncode verify` accepts the signature,
  - `sfxtool verify` passes and `sfxtool inspect --json` reports the certificate table as trailing
    data and the archive as covered by the signature,
  - the signed installer runs under Wine: the probe's exit code comes back and the probe's listing
    of its folder equals the source folder.
A signature made first with the archive appended afterwards is refused by `sfxtool verify`.
Reuses the harness of run_e2e.py. Prints "PASS|FAIL|SKIP case [stub]" lines and finally
"RESULT passed=N failed=N skipped=N"; exits non-zero on any failure.
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_e2e as e2e  # noqa: E402

REPO = e2e.REPO
WORK = REPO / "build" / "e2e-signed-work"


def run(argv: list[str], **kw) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in argv], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          timeout=600, **kw)


def make_certificate(folder: Path) -> tuple[Path, Path]:
    """A throw-away code-signing key and self-signed certificate, valid for two days."""
    folder.mkdir(parents=True, exist_ok=True)
    key, cert = folder / "key.pem", folder / "cert.pem"
    r = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
             "-days", "2", "-subj", "/CN=Orvak ZEB test signing (throw-away)",
             "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature"])
    if r.returncode != 0:
        raise SystemExit(f"signed-e2e: openssl could not make a certificate:\n{r.stderr}")
    return key, cert


def sign(unsigned: Path, signed: Path, key: Path, cert: Path) -> None:
    signed.unlink(missing_ok=True)
    r = run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
             "-n", "Orvak ZEB Installer", "-in", unsigned, "-out", signed])
    if r.returncode != 0:
        raise e2e.CaseFail(f"osslsigncode sign failed: {r.stdout} {r.stderr}")


def payload_entries(probe: bytes, fmt: str) -> tuple[list[e2e.Entry], str]:
    """The payload folder's files, and the installer's path within it."""
    installer = e2e.DEFAULT_INSTALLER if fmt == "7z" else "bin/setup.exe"
    return [
        e2e.Entry(installer, probe),
        e2e.Entry("docs/guide.txt", e2e.mixed_data(60_000, 11)),
        e2e.Entry("data/blob.bin", e2e.pseudo_random(40_000, 12)),
        e2e.Entry("data/empty.txt", b""),
        e2e.Entry("ünï/ファイル ä.txt", "grüße\n".encode()),
    ], installer


class SignedCases:
    def __init__(self, h: e2e.Harness, sfxtool: Path, key: Path, cert: Path):
        self.h, self.sfxtool, self.key, self.cert = h, sfxtool, key, cert
        self.probe = h.programs["probe64"].read_bytes()

    def pack(self, stub: e2e.Stub, fmt: str, case: str) -> tuple[Path, list[e2e.Entry], str]:
        work = WORK / f"{case}-{stub.label}"
        shutil.rmtree(work, ignore_errors=True)
        folder = work / "payload"
        entries, installer = payload_entries(self.probe, fmt)
        for e in entries:
            (folder / e.name).parent.mkdir(parents=True, exist_ok=True)
            (folder / e.name).write_bytes(e.data)
        argv = [self.sfxtool, "pack", "--stub", stub.path, "--payload", folder, "--format", fmt, "-o", work / "unsigned.exe"]
        if fmt == "zip":
            argv += ["--launch", installer]
            # pack writes the line as the stub takes it: Windows separators.
            entries.append(e2e.Entry(".launch", installer.replace("/", "\\").encode()))
        r = run(argv)
        if r.returncode != 0:
            raise e2e.CaseFail(f"sfxtool pack exit {r.returncode}: {r.stderr.strip()}")
        return work, entries, installer

    def signed_installer(self, stub: e2e.Stub, fmt: str) -> None:
        case = f"signed-{fmt}"
        work, entries, installer = self.pack(stub, fmt, case)
        unsigned, signed = work / "unsigned.exe", work / "signed.exe"
        sign(unsigned, signed, self.key, self.cert)
        c = e2e.Checks()

        r = run(["osslsigncode", "verify", "-CAfile", self.cert, "-in", signed])
        c.expect(r.returncode == 0, f"osslsigncode verify failed: {(r.stdout + r.stderr).strip()[-400:]}")

        r = run([self.sfxtool, "verify", signed])
        c.expect(r.returncode == 0, f"sfxtool verify of the signed installer: exit {r.returncode}: {r.stderr.strip()}")

        r = run([self.sfxtool, "inspect", "--json", signed])
        c.expect(r.returncode == 0, f"sfxtool inspect exit {r.returncode}: {r.stderr.strip()}")
        info = json.loads(r.stdout) if r.returncode == 0 else {}
        stub_size = stub.path.stat().st_size
        if info:
            c.expect(info["kind"] == fmt, f"inspect kind {info['kind']!r}, want {fmt!r}")
            c.expect(info["offset"] == stub_size, f"inspect offset {info['offset']}, want the stub's size {stub_size}")
            c.expect(info["offset"] + info["archiveSize"] == unsigned.stat().st_size,
                     "archive end differs from the end of the unsigned installer")
            c.expect(info["trailing"]["kind"] == "certificate-table",
                     f"trailing data: {info['trailing']}, want certificate-table")
            c.expect(info["signature"]["certificateTable"] and info["signature"]["archiveCovered"],
                     f"signature: {info['signature']}, want the archive covered")
            c.expect(info["problems"] == [], f"inspect problems: {info['problems']}")
            c.expect(info["program"]["exists"] and info["program"]["path"].replace("\\", "/") == installer,
                     f"program: {info['program']}")
            names = sorted(x["name"] for x in info["entries"] if not x["directory"])
            c.expect(names == sorted(e.name for e in entries), f"inspect entries {names}")

        d = self.h.fresh_case(case, stub)
        exe = d / e2e.STUB_NAME
        exe.write_bytes(signed.read_bytes())
        res = self.h.run(stub, exe, " /S --mode=signed", probe_exit=42, list_up=installer.count("/"))
        e2e.check_exit(c, res, 42)
        e2e.check_report(c, res, " /S --mode=signed", want_tree=e2e.expected_tree(entries),
                         installer_rel=installer.replace("/", "\\"))
        e2e.check_staging_gone(c, res)
        c.done()

    def signed_7z(self, stub: e2e.Stub) -> None:
        self.signed_installer(stub, "7z")

    def signed_zip(self, stub: e2e.Stub) -> None:
        self.signed_installer(stub, "zip")

    def signed_then_appended(self, stub: e2e.Stub) -> None:
        """Signing the bare stub and appending the archive afterwards leaves the archive unsigned."""
        work, _, _ = self.pack(stub, "7z", "sign-first")
        signed_stub = work / "signed-stub.exe"
        sign(stub.path, signed_stub, self.key, self.cert)
        archive = (work / "unsigned.exe").read_bytes()[stub.path.stat().st_size:]
        late = work / "late.exe"
        late.write_bytes(signed_stub.read_bytes() + archive)
        r = run([self.sfxtool, "verify", late])
        c = e2e.Checks()
        c.expect(r.returncode == 1, f"sfxtool verify exit {r.returncode}, want 1")
        c.expect("signature" in r.stderr and "pack first, then sign" in r.stderr,
                 f"sfxtool verify should name the unsigned archive: {r.stderr.strip()}")
        c.done()


CASES = [
    ("signed-7z", SignedCases.signed_7z),
    ("signed-zip", SignedCases.signed_zip),
    ("signed-then-appended", SignedCases.signed_then_appended),
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
        raise SystemExit(f"signed-e2e: sfxtool not built: {args.sfxtool}")
    for tool in ("osslsigncode", "openssl"):
        if shutil.which(tool) is None:
            raise SystemExit(f"signed-e2e: {tool} is missing (scripts/setup installs it)")

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
    h.root = wine.drive_c / "e2e-signed"
    shutil.rmtree(h.root, ignore_errors=True)
    key, cert = make_certificate(WORK / "certificate")
    cases = SignedCases(h, args.sfxtool.resolve(), key, cert)
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
