#!/usr/bin/env bash
# The host build with AddressSanitizer and UndefinedBehaviorSanitizer (preset host-asan): builds it
# and runs every host test (CTest) under it. Last line: RESULT passed=N failed=N skipped=N.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$here"
mkdir -p build/host-asan
if ! cmake --preset host-asan > build/host-asan.configure.log 2>&1; then
  tail -n 30 build/host-asan.configure.log
  echo "RESULT passed=0 failed=1 skipped=0"
  exit 1
fi
if ! cmake --build --preset host-asan -j 2 > build/host-asan/build.log 2>&1; then
  grep -E -A5 'error|FAILED' build/host-asan/build.log | head -n 60
  echo "RESULT passed=0 failed=1 skipped=0"
  exit 1
fi
# Any finding ends the test that made it, with its report in the CTest output.
export ASAN_OPTIONS="abort_on_error=0:detect_leaks=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
exec python3 scripts/lib/ctest_result.py build/host-asan
