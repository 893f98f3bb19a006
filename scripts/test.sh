#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests and the
# static analysis on the host, the unit tests again under ASan and UBSan with a
# bounded fuzzing run; a release, made twice to show it reproducible; then the
# checks of both built executables and the end-to-end, soak and race scenarios
# under Wine. Says how long each step took, and at the end which build ran which
# suite.
#
# Where 32-bit Wine runs, the 32-bit product runs the whole suite and the 64-bit
# build the end-to-end scenarios. Where it cannot (or with PELMORANE_ARCH=win64),
# the 64-bit build runs the whole suite, and the 32-bit executable gets the
# checks that need no 32-bit code: its format and its version resource.
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

# The release just made: exactly what ships, under 64 KiB, its checksum right, and the same
# bytes when made again, later, from a copy of the tree in another place.
release_checked() {
    local copy=build/release-copy zip
    rm -rf "$copy"
    mkdir -p "$copy"
    tar -c --exclude=./build --exclude=./dist . | tar -x -C "$copy"
    sleep 2 # so that the second release is made at least 2 s after the first
    "$copy/scripts/release.sh"
    zip=$(cd "$copy/dist" && echo *.zip)
    cmp "$copy/dist/$zip" "dist/$zip"
    rm -rf "$copy"
    [ "$(cmake -E tar tf "dist/$zip" | sort | xargs)" = \
        "CHANGELOG.txt README.txt win32/pelmorane.exe x64/pelmorane.exe" ]
    [ "$(stat -c %s "dist/$zip")" -lt 65536 ]
    (cd dist && sha256sum -c "$zip.sha256")
    release="dist/$zip, $(stat -c %s "dist/$zip") bytes, checked, made twice: byte-identical"
    echo "release: $release"
}

step "install what is missing" scripts/install-deps.sh
source scripts/wine-service.sh
choose_build
announce "runs the whole end-to-end suite on"

step "build" scripts/build.sh
step "unit tests, static analysis" ctest --preset host -j "$(nproc)"
step "unit tests under ASan and UBSan, fuzzing" sanitized
step "release" scripts/release.sh
step "release: contents, checksum, reproducibility" release_checked
# The scenarios mostly wait on the service, each in a prefix of its own.
if [ "$build" = win32 ]; then
    step "32-bit build: executable checks, end-to-end, soak and race scenarios" \
        env PELMORANE_SOAK=1 ctest --preset win32 -j 4
    step "64-bit build: executable checks, end-to-end scenarios" \
        env PELMORANE_SOAK=0 ctest --preset win64 -j 4
    ran_32="executable checks, end-to-end, soak and race scenarios under Wine"
    ran_64="executable checks, end-to-end scenarios under Wine (no soak)"
else
    step "32-bit build: the executable checks that need no 32-bit code" \
        ctest --preset win32 -L exe
    step "64-bit build: executable checks, end-to-end, soak and race scenarios" \
        env PELMORANE_SOAK=1 ctest --preset win64 -j 4
    ran_32="format and version resource checked; not run under Wine, since $build_reason"
    ran_64="executable checks, end-to-end, soak and race scenarios under Wine"
fi

echo "=== passed"
echo "host: unit tests, static analysis, unit tests under ASan and UBSan, fuzzing"
echo "release: $release"
echo "32-bit build, dist/pelmorane.exe: $ran_32"
echo "64-bit build, dist/x64/pelmorane.exe: $ran_64"
