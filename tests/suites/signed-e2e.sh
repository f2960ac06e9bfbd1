#!/usr/bin/env bash
# Signed installers end to end: sfxtool pack (7z and ZIP), osslsigncode sign with a throw-away
# certificate, osslsigncode verify, sfxtool verify/inspect, and both stubs under Wine.
# Last line: RESULT passed=N failed=N skipped=N.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec python3 "$here/tests/e2e/signed_e2e.py" \
  --win32 "$here/build/win32/SelfExtractor.exe" --win64 "$here/build/win64/SelfExtractor.exe" \
  --sfxtool "$here/build/host/sfxtool"
