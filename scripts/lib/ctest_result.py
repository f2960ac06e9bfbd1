#!/usr/bin/env python3
"""Runs CTest in a build folder and prints its counts as one RESULT line (JUnit output parsed)."""
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

build = Path(sys.argv[1])
junit = build / "ctest-junit.xml"
extra = sys.argv[2:]
rc = subprocess.call(["ctest", "--test-dir", str(build), "-j2", "--output-on-failure",
                      "--output-junit", str(junit.resolve())] + extra)
passed = failed = skipped = 0
if junit.exists():
    for case in ET.parse(junit).getroot().iter("testcase"):
        status = case.get("status", "")
        if case.find("failure") is not None or case.find("error") is not None or status == "fail":
            failed += 1
        elif case.find("skipped") is not None or status in ("notrun", "disabled"):
            skipped += 1
        else:
            passed += 1
if rc != 0 and failed == 0:
    failed = 1
if passed + failed + skipped == 0:
    print("ctest ran no test")
    failed = 1
print(f"RESULT passed={passed} failed={failed} skipped={skipped}")
sys.exit(1 if failed else 0)
