#!/usr/bin/env bash
# Runs the service under Wine with the sample companion and tells what happens: the start, the
# child, a restart with code 128, and the stop. Installs what is missing and builds first; the
# demo itself is tools/demo.sh.
#
#   scripts/demo.sh            runs until Ctrl+C
#   scripts/demo.sh <seconds>  runs for that long
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null
exec tools/demo.sh "$@"
