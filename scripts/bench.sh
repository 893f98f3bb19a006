#!/usr/bin/env bash
# Measures the service under Wine beside a do-nothing reference service and writes
# bench/results.md. Installs what is missing and builds first; the benchmark itself is
# bench/bench.sh. Not part of the tests.
#
#   scripts/bench.sh [runs]    each timed figure is the median of <runs> (default 7)
#   scripts/bench.sh --report  writes the table again from the last run's figures
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
[ "${1:-}" = --report ] || scripts/build.sh >/dev/null
exec bench/bench.sh "$@"
