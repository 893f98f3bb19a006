#!/usr/bin/env bash
# Installs what is missing, builds both presets and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
cmake --preset host
cmake --build --preset host -j "$jobs"
ctest --preset host -j "$jobs"

cmake --preset win32
cmake --build --preset win32 -j "$jobs"
