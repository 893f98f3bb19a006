#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests and the
# static analysis on the host, the unit tests again under ASan and UBSan with a
# bounded fuzzing run, then the checks of the built executable and the
# end-to-end, soak and race scenarios under Wine. Says how long each step took.
set -euo pipefail
cd "$(dirname "$0")/.."

step() {
    local name=$1 begin=$SECONDS
    shift
    echo "=== $name"
    "$@"
    echo "=== $name: $((SECONDS - begin)) s"
}

sanitized() {
    cmake --preset sanitize >/dev/null
    cmake --build --preset sanitize -j "$(nproc)"
    ctest --preset sanitize -j "$(nproc)"
}

step "build" scripts/build.sh
step "unit tests, static analysis" ctest --preset host -j "$(nproc)"
step "unit tests under ASan and UBSan, fuzzing" sanitized
# The scenarios mostly wait on the service, each in a prefix of its own.
step "end-to-end, soak and race scenarios" env PELMORANE_SOAK=1 ctest --preset win32 -j 4
