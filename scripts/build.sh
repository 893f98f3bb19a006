#!/usr/bin/env bash
# Installs what is missing, then builds every preset: "host" (the product on
# the fake platform, with its unit tests), "win32" (the service, left in
# dist/pelmorane.exe) and "win64" (dist/x64/pelmorane.exe), each Windows build
# with its own tools, benchmark programs and end-to-end tests.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
for preset in host win32 win64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
done
