#!/usr/bin/env bash
# Short runs of every fuzz harness (20 s each, two at a time, from the seeds alone), after the
# reproducers kept in tests/fuzz/regressions. Longer runs: scripts/fuzz --seconds N.
# Last line: RESULT passed=N failed=N skipped=N (one per harness).
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec "$here/scripts/fuzz" --seconds "${FUZZ_SECONDS:-20}" --jobs 2 --fresh
