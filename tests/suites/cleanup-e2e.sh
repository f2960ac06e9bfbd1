#!/usr/bin/env bash
# The staging folder's clean-up end to end (tests/e2e/cleanup_e2e.py): both stubs under Wine, an
# installer that leaves read-only files and a running child holding a file, links planted from the
# Linux side, and the relaunch folder with the installer's log. The 32-bit route reports itself
# skipped when it cannot run. Last line: RESULT passed=N failed=N skipped=N.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec python3 "$here/tests/e2e/cleanup_e2e.py" \
  --win32 "$here/build/win32/SelfExtractor.exe" --win64 "$here/build/win64/SelfExtractor.exe"
