"""The stub's folders stand on each other in one order: every include runs downward.

    RunSequence.cpp, main.cpp      the top
    launcher/  relaunch/           the stages the run calls around the payload
    payload/  staging/  ui/        side by side: none includes another; they share run/
    run/                           the run's vocabulary
    platform/                      the only door to the operating system; includes nothing above
"""
import re
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
STUB = REPO / "SelfExtractor"

# A folder may include its own files and those of the folders of a lower rank.
RANK = {"platform": 0, "run": 1, "payload": 2, "staging": 2, "ui": 2, "launcher": 3,
        "relaunch": 3, "top": 4}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(relative: Path) -> str:
    return relative.parts[0] if len(relative.parts) > 1 else "top"


def edges():
    """(file, its folder, the folder it includes) for every include of a project header."""
    for path in sorted(STUB.rglob("*")):
        if path.suffix not in (".h", ".cpp") or "resources" in path.parts:
            continue
        source = folder_of(path.relative_to(STUB))
        for header in INCLUDE.findall(path.read_text(encoding="utf-8")):
            target_path = STUB / header
            if not target_path.exists():
                continue  # the SDKs' headers and generated ones
            yield path.relative_to(REPO), source, folder_of(Path(header))


class Layers(unittest.TestCase):
    def test_every_folder_is_ranked(self):
        folders = {p.name for p in STUB.iterdir() if p.is_dir() and p.name != "resources"}
        self.assertEqual(folders - set(RANK), set(), "a new folder needs its place in RANK")

    def test_every_include_runs_downward(self):
        wrong = [f"{f}: {src}/ includes {dst}/" for f, src, dst in edges()
                 if src != dst and RANK[dst] >= RANK[src]]
        self.assertEqual(wrong, [])

    def test_the_check_sees_the_includes(self):
        # A parser that found nothing would pass the test above: the stub's top includes every
        # rank below it.
        below_top = {dst for _, src, dst in edges() if src == "top"}
        self.assertTrue({"run", "payload", "staging", "ui", "launcher", "relaunch"} <= below_top,
                        below_top)


if __name__ == "__main__":
    unittest.main()
