#!/usr/bin/env bash
# Tests of the image checker (each planted fault must fail it) and of the stub's freestanding
# runtime (runtime_check.exe, linked like the stub, run under Wine for both builds).
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
python3 - <<'PY'
import sys, unittest
suite = unittest.defaultTestLoader.discover("tests/build", pattern="test_*.py")
result = unittest.TextTestRunner(verbosity=2).run(suite)
failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
skipped = len(result.skipped)
passed = result.testsRun - failed - skipped
print(f"RESULT passed={passed} failed={failed} skipped={skipped}")
sys.exit(1 if failed or result.testsRun == 0 else 0)
PY
