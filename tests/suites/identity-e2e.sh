#!/usr/bin/env bash
# The installer identity end to end: sfxtool pack --icon/--version-info/--execution-level, read back
# under Wine as Windows reads it (version, icon, manifest, checksum), unsigned and signed, both stubs,
# and the installer still runs. Last line: RESULT passed=N failed=N skipped=N.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec python3 "$here/tests/e2e/identity_e2e.py" \
  --win32 "$here/build/win32/SelfExtractor.exe" --win64 "$here/build/win64/SelfExtractor.exe" \
  --sfxtool "$here/build/host/sfxtool"
