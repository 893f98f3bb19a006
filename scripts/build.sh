#!/usr/bin/env bash
# Installs what is missing, then builds both presets: "host" (the product on
# the fake platform, with its unit tests) and "win32" (the service, left in
# dist/pelmorane.exe, with the Windows tools and test probe).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
for preset in host win32; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
done
