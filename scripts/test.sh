#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests on the
# host, then the checks of the built executable and the end-to-end scenarios
# under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
ctest --preset host -j "$(nproc)"
# The scenarios mostly wait on the service, each in a prefix of its own.
ctest --preset win32 -j 4
