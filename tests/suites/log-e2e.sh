#!/usr/bin/env bash
# The run's log under Wine (tests/e2e/log_e2e.py), both stubs: SELFEXTRACTOR_LOG on a good run, a
# damaged archive and an installer Windows cannot start; pack --log's file in the temp folder; a
# temp folder on a small tmpfs (skipped unless the mount is allowed). Last line: RESULT passed=N failed=N skipped=N.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec python3 "$here/tests/e2e/log_e2e.py" \
  --win32 "$here/build/win32/SelfExtractor.exe" --win64 "$here/build/win64/SelfExtractor.exe"
