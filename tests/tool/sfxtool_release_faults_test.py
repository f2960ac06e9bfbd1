#!/usr/bin/env python3
"""pack and verify where releases broke them: a folder of very many long names, a pack stopped by a
signal, and an installer taken for a stub.

    tests/tool/sfxtool_release_faults_test.py [path/to/sfxtool]

- many-names: 20,000 files with names of 150 to 200 bytes (some with leading spaces) pack
  into one 7z folder; `7zz t` accepts the archive and `7zz l` lists every name exactly.
- signals: SIGINT, SIGTERM and SIGHUP while the 7zz children compress, and SIGTERM while the stub's
  trial run verifies: exit 130, 143, 129; OUT keeps its old bytes; no work folder and no 7zz child
  is left.
- stub-is-output, installer-as-stub, verify-bytes-after-archive: pack refuses an output that is its
  stub (also through a link) and a stub with bytes after its image; verify fails an unsigned
  installer with bytes after its archive.
Prints "PASS|FAIL name" lines and finally "RESULT passed=N failed=N skipped=0".
"""
from __future__ import annotations

import glob
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
TOOL = Path(sys.argv[1]) if len(sys.argv) > 1 else REPO / "build" / "host" / "sfxtool"
INSTALLER = "Orvak ZEB Installer.exe"
results = {"passed": 0, "failed": 0}


def check(name: str, ok: bool, detail: str = "") -> None:
    results["passed" if ok else "failed"] += 1
    print(f"{'PASS' if ok else 'FAIL'} {name}" + ("" if ok else f": {detail}"), flush=True)


def fake_stub(path: Path) -> None:
    """A PE32 image of one section and nothing after it, standing for the stub."""
    b = bytearray(0x400)
    b[0:2] = b"MZ"
    struct.pack_into("<I", b, 0x3C, 0x40)
    b[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HH", b, 0x44, 0x14C, 1)
    struct.pack_into("<H", b, 0x54, 0xE0)
    struct.pack_into("<H", b, 0x58, 0x10B)
    struct.pack_into("<I", b, 0x58 + 92, 16)
    struct.pack_into("<II", b, 0x58 + 32, 0x1000, 0x200)
    struct.pack_into("<II", b, 0x58 + 56, 0x2000, 0x200)
    s = 0x58 + 0xE0
    b[s:s + 5] = b".text"
    struct.pack_into("<IIII", b, s + 8, 0x200, 0x1000, 0x200, 0x200)
    b[0x200:0x400] = b"x" * 0x200
    path.write_bytes(bytes(b))


def pack(stub: Path, payload: Path, out: Path, *extra: str) -> subprocess.CompletedProcess:
    return subprocess.run([str(TOOL), "pack", "--stub", str(stub), "--payload", str(payload), "-o", str(out), "-q",
                           *extra], capture_output=True, text=True, stdin=subprocess.DEVNULL)


def archive_of(installer: Path, into: Path) -> Path:
    """The 7z archive behind the stub (the fake stub holds no signature)."""
    data = installer.read_bytes()
    into.write_bytes(data[data.index(b"7z\xbc\xaf\x27\x1c"):])
    return into


def many_names(work: Path, stub: Path) -> None:
    payload = work / "many"
    payload.mkdir()
    rng = random.Random(26)
    names = []
    for i in range(20000):
        stem = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz_-") for _ in range(rng.randrange(130, 180)))
        lead = " " if i % 997 == 0 else "  " if i % 1999 == 0 else ""
        name = f"{lead}{i:05d} {stem}.txt"
        (payload / name).write_bytes(str(i).encode())
        names.append(name)
    (payload / INSTALLER).write_bytes(b"MZ")
    names.append(INSTALLER)
    out = work / "many.exe"
    r = pack(stub, payload, out)
    check("many-names: pack", r.returncode == 0 and out.is_file(), f"exit {r.returncode}: {r.stderr.strip()[-400:]}")
    if r.returncode != 0:
        return
    archive = archive_of(out, work / "many.7z")
    t = subprocess.run(["7zz", "t", str(archive)], capture_output=True, text=True)
    check("many-names: 7zz t accepts it", t.returncode == 0 and "Everything is Ok" in t.stdout, t.stdout[-300:])
    listing = subprocess.run(["7zz", "l", "-slt", "-sccUTF-8", str(archive)], capture_output=True,
                             env=dict(os.environ, LC_ALL="C.UTF-8")).stdout.decode()
    listed = [line[7:] for line in listing.split("\n") if line.startswith("Path = ")][1:]
    blocks = [line for line in listing.split("\n") if line.startswith("Blocks = ")]
    check("many-names: 7zz lists every name", sorted(listed) == sorted(names),
          f"{len(listed)} listed, {len(names)} packed; first missing: {sorted(set(names) - set(listed))[:2]}")
    check("many-names: one folder", blocks == ["Blocks = 1"], f"{blocks}")


def signals(work: Path, stub: Path) -> None:
    payload = work / "sig"
    payload.mkdir()
    rng = random.Random(7)
    for i in range(6):
        (payload / f"part{i}.bin").write_bytes(rng.randbytes(5_000_000))
    (payload / INSTALLER).write_bytes(b"MZ")
    out_dir = work / "sig-out"
    out_dir.mkdir()
    out = out_dir / "setup.exe"
    for sig, phase in ((signal.SIGINT, "7zz"), (signal.SIGTERM, "7zz"), (signal.SIGHUP, "7zz"),
                       (signal.SIGTERM, "trial")):
        name = f"signals: {signal.Signals(sig).name} while {'7zz compresses' if phase == '7zz' else 'the trial run verifies'}"
        out.write_bytes(b"old installer")
        p = subprocess.Popen([str(TOOL), "pack", "--stub", str(stub), "--payload", str(payload), "-o", str(out),
                              "--block-size", "4M", "--jobs", "2"], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        children: list[str] = []
        deadline = time.monotonic() + 120
        while p.poll() is None and time.monotonic() < deadline:
            if phase == "7zz":
                children = subprocess.run(["pgrep", "-P", str(p.pid)], capture_output=True, text=True).stdout.split()
                if children:
                    break
            elif glob.glob(str(out_dir / ".sfxtool-*" / "trial-*")):
                time.sleep(0.3)
                break
            time.sleep(0.02)
        if p.poll() is not None:
            check(name, False, f"the pack ended (exit {p.returncode}) before the signal could be sent")
            continue
        p.send_signal(sig)
        try:
            err = p.communicate(timeout=60)[1].decode(errors="replace")
        except subprocess.TimeoutExpired:
            p.kill()
            err = p.communicate()[1].decode(errors="replace")
        left = sorted(os.listdir(out_dir))
        running = [c for c in children if Path(f"/proc/{c}").exists()]
        problems = []
        if p.returncode != 128 + sig:
            problems.append(f"exit {p.returncode}, want {128 + sig}")
        if left != ["setup.exe"] or out.read_bytes() != b"old installer":
            problems.append(f"the output folder holds {left}, setup.exe {'kept' if out.read_bytes() == b'old installer' else 'changed'}")
        if running:
            problems.append(f"7zz children still there: {running}")
        if f"stopped by {signal.Signals(sig).name}" not in err:
            problems.append(f"stderr: {err.strip()[-200:]!r}")
        check(name, not problems, "; ".join(problems))
        for stray in out_dir.glob(".sfxtool-*"):
            shutil.rmtree(stray, ignore_errors=True)


def stubs(work: Path, stub: Path) -> None:
    payload = work / "small"
    payload.mkdir()
    (payload / INSTALLER).write_bytes(b"MZ")
    (payload / "readme.txt").write_text("hello\n" * 100)
    mine = work / "mystub.exe"
    shutil.copy(stub, mine)
    before = mine.read_bytes()
    r = pack(mine, payload, mine)
    check("stub-is-output: refused", r.returncode == 1 and "is the stub" in r.stderr and mine.read_bytes() == before,
          f"exit {r.returncode}: {r.stderr.strip()}")
    link = work / "link.exe"
    link.symlink_to(mine.name)
    r = pack(mine, payload, link)
    check("stub-is-output: through a link, refused", r.returncode == 1 and "is the stub" in r.stderr and
          link.is_symlink() and mine.read_bytes() == before, f"exit {r.returncode}: {r.stderr.strip()}")

    first = work / "first.exe"
    r = pack(mine, payload, first)
    check("installer-as-stub: an installer packs", r.returncode == 0, r.stderr)
    image_end = json.loads(subprocess.run([str(TOOL), "inspect", "--json", str(first)], capture_output=True,
                                          text=True).stdout)["stubImageEnd"]
    extra = first.stat().st_size - image_end
    second = work / "second.exe"
    r = pack(first, payload, second)
    check("installer-as-stub: refused, naming the bytes after its image",
          r.returncode == 1 and not second.exists() and f"carries {extra} bytes after its image" in r.stderr and
          "looks like an installer" in r.stderr, f"exit {r.returncode}: {r.stderr.strip()}")

    # What such a pack used to write: the first installer with a second archive behind it.
    other = work / "other"
    other.mkdir()
    (other / INSTALLER).write_bytes(b"MZ new")
    newer = work / "newer.exe"
    pack(mine, other, newer)
    doubled = work / "doubled.exe"
    doubled.write_bytes(first.read_bytes() + newer.read_bytes()[image_end:])
    r = subprocess.run([str(TOOL), "verify", str(doubled)], capture_output=True, text=True)
    check("verify-bytes-after-archive: an unsigned installer with data after its archive fails",
          r.returncode == 1 and f"{newer.stat().st_size - image_end} bytes follow the archive" in r.stderr,
          f"exit {r.returncode}: {r.stderr.strip()}")
    r = subprocess.run([str(TOOL), "verify", str(first)], capture_output=True, text=True)
    check("verify-bytes-after-archive: the installer alone passes", r.returncode == 0, r.stderr)


def main() -> int:
    if not TOOL.is_file():
        print(f"sfxtool not built: {TOOL}\nRESULT passed=0 failed=1 skipped=0")
        return 1
    with tempfile.TemporaryDirectory(prefix="sfxtool-faults-") as tmp:
        work = Path(tmp)
        stub = work / "stub.exe"
        fake_stub(stub)
        stubs(work, stub)
        signals(work, stub)
        many_names(work, stub)
    print(f"RESULT passed={results['passed']} failed={results['failed']} skipped=0")
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
