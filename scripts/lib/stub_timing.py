"""What the benchmarks share about timing the stub: the phases of a run from its log, and the floor
program (tests/bench/floor.c) that makes the same files with no archive behind them."""
from __future__ import annotations

import subprocess
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]


def log_phases(log: Path) -> tuple[float, float] | None:
    """The unpack (from the archive's line to "unpacked:") and the delete (from the last line
    before it to "delete:") in seconds, from the times the stub's log lines start with."""
    if not log.exists():
        return None
    stamps = {}
    previous = None
    for line in log.read_text(encoding="utf-8", errors="replace").splitlines():
        try:
            t = time.mktime(time.strptime(line[:19], "%Y-%m-%d %H:%M:%S")) + int(line[20:23]) / 1000
        except ValueError:
            continue
        text = line[24:]
        for key in ("archive:", "unpacked:", "delete:"):
            if text.startswith(key):
                stamps[key] = t
                if key == "delete:" and previous is not None:
                    stamps["before delete"] = previous
        previous = t
    if not all(k in stamps for k in ("archive:", "unpacked:", "delete:", "before delete")):
        return None
    return stamps["unpacked:"] - stamps["archive:"], stamps["delete:"] - stamps["before delete"]


def build_floor(out: Path) -> Path:
    source = REPO / "tests" / "bench" / "floor.c"
    target = out / "floor64.exe"
    out.mkdir(parents=True, exist_ok=True)
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-Wall", "-static", "-municode", "-mwindows", "-o",
                        str(target), str(source)], check=True)
    return target
