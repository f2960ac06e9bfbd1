#!/usr/bin/env bash
# Who may write into the stub's folders, and a delete no swap can redirect, end to end
# (tests/e2e/security_e2e.py): both stubs under Wine; the folders' lists read back by the installer
# and their modes seen from Linux, names with a trailing dot or space, and staging subfolders
# swapped with links to an outside folder while the installer runs and while the stub deletes.
# The 32-bit route reports itself skipped when it cannot run. Last line: RESULT passed=N failed=N
# skipped=N.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec python3 "$here/tests/e2e/security_e2e.py" \
  --win32 "$here/build/win32/SelfExtractor.exe" --win64 "$here/build/win64/SelfExtractor.exe"
