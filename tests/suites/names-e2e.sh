#!/usr/bin/env bash
# Names as Windows sees them under Wine: the upcase table against Windows' for all 65,536 BMP units
# (both toolchains' builds of it), pack refusing case pairs, and verify's verdict against both stubs
# for every name shape. Last line: RESULT passed=N failed=N skipped=N.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec python3 "$here/tests/e2e/names_e2e.py" \
  --win32 "$here/build/win32/SelfExtractor.exe" --win64 "$here/build/win64/SelfExtractor.exe" \
  --sfxtool "$here/build/host/sfxtool" --table "$here/build/host/SelfExtractor/generated/UpcaseTable.h"
