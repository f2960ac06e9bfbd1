#!/usr/bin/env bash
# Payloads larger than a 32-bit process could hold, on both stubs under Wine: a ZIP entry over
# 2 GiB, and a folder with a file over 1 GiB packed by sfxtool. Every byte checked, no staging
# folder left, the stub's peak resident set under 256 MiB. Last line: RESULT passed=N failed=N skipped=N.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec python3 "$here/tests/e2e/big_e2e.py" \
  --win32 "$here/build/win32/SelfExtractor.exe" --win64 "$here/build/win64/SelfExtractor.exe" \
  --sfxtool "$here/build/host/sfxtool"
