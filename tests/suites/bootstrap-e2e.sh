#!/usr/bin/env bash
# The wait after the installer end to end (tests/e2e/bootstrap_e2e.py): both stubs under Wine; a
# bootstrapper whose child from the staging folder reads its data after the bootstrapper ended,
# and an installed application started from elsewhere, which the stub does not wait for. The
# 32-bit route reports itself skipped when it cannot run. Last line: RESULT passed=N failed=N
# skipped=N.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec python3 "$here/tests/e2e/bootstrap_e2e.py" \
  --win32 "$here/build/win32/SelfExtractor.exe" --win64 "$here/build/win64/SelfExtractor.exe"
