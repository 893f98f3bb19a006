#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test, saying how long each step took and, at
# the end, which build ran which suite: the unit tests and static analysis on the host, again
# under ASan and UBSan with a bounded fuzzing run; a release signed with a throwaway certificate,
# made again from a copy of the tree and signed from a SoftHSM2 token, a later one, unsigned, to
# upgrade to, and 1.2.0's as released, to upgrade from; the release's checks; then both builds'
# scenarios under Wine. tests/README.md tells what each runs and what it skips.
#
# Where 32-bit Wine runs, the 32-bit product runs the whole suite and the 64-bit build all but the
# soak. Where it cannot (or with PELMORANE_ARCH=win64), the 64-bit build runs the whole suite, and
# the 32-bit build gets the checks that need no 32-bit code: its format, its version resource, its
# package's tables, and its scenarios against a loader that runs nothing (the silent loader).
#
# Steps that need nothing of each other run side by side, so that both cores stay busy: the work
# itself, not the order, sets how long it takes.
set -euo pipefail
cd "$(dirname "$0")/.."

step() {
    local name=$1 begin=$SECONDS
    shift
    echo "=== $name"
    "$@"
    echo "=== $name: $((SECONDS - begin)) s"
}

# beside <step name> <command...>: runs that step beside the ones started before it; its output is
# kept until `joined` shows it.
logs=build/test-steps
beside_pids=() beside_logs=()
beside() {
    local log
    mkdir -p "$logs"
    log=$(mktemp "$logs/step.XXXXXX")
    (beside_pids=() beside_logs=() && step "$@") >"$log" 2>&1 &
    beside_pids+=($!) beside_logs+=("$log")
}

# joined: waits for every step started beside, shows their output in the order they were started,
# and fails where any failed.
joined() {
    local i failed=0
    for i in "${!beside_pids[@]}"; do
        wait "${beside_pids[i]}" || failed=1
        cat "${beside_logs[i]}"
        rm -f "${beside_logs[i]}"
    done
    beside_pids=() beside_logs=()
    return $failed
}

# The sanitizer build yields to the scenarios that run beside it, whose checks read time; the
# fuzzing that follows runs at the usual priority, for its full time.
sanitized() {
    cmake --preset sanitize >/dev/null
    nice cmake --build --preset sanitize -j "$(nproc)"
    ctest --preset sanitize -j "$(nproc)"
}

# The releases that the package scenarios read: this version's, then side by side a later one,
# unsigned, to upgrade to, and 1.2.0's, to upgrade from. In a shell of its own, so that it waits
# only for its own steps.
releases() (
    beside_pids=() beside_logs=()
    step "signing material: a throwaway CA and certificates" tests/release/signatures.sh material
    mapfile -t pkcs12 <build/signing/pkcs12.env
    step "release, signed with them" env "${pkcs12[@]}" scripts/release.sh
    beside "a later release, unsigned, to upgrade to" scripts/release.sh --version \
        "$(packaging/version.sh --next)" --companion "$(companion_exe_of "$build")"
    beside "1.2.0's release, from its commit, to upgrade from" \
        tests/release/make-1.2.0.sh "$(companion_exe_of "$build")"
    joined
)

# The release made again from a copy, signed from the token, then the release's checks, which
# compare the two. The making yields to the scenarios beside it, as the sanitizer build does.
release_checks() {
    step "the release made again from a copy, signed from the token" nice tests/release/make-again.sh
    step "release checks: contents, checksums, bill of materials, reproducibility, signatures" \
        ctest --preset release
}

begin=$SECONDS
step "install what is missing" scripts/install-deps.sh
export PELMORANE_DEPS_CHECKED=1
source tools/wine-service.sh
choose_build
announce "runs the whole end-to-end suite on"

step "build" scripts/build.sh
beside "unit tests, static analysis" ctest --preset host -j "$(nproc)"
beside "unit tests under ASan and UBSan, fuzzing" sanitized
releases
beside "the release made again, and the release checks" release_checks
# The scenarios mostly wait on the service, each in a prefix of its own.
beside "$(bits_of "$build")-bit build: artefact, service, guide, package, upgrade, soak and race scenarios, silent loader, scripted answers" \
    env PELMORANE_SOAK=1 ctest --preset "$build" -j 8
if [ "$build" = win32 ]; then
    joined # one suite at a time: both would crowd two cores
    step "64-bit build: artefact, service, guide and package scenarios" \
        env PELMORANE_SOAK=0 ctest --preset win64 -j 8
    ran_32="artefact checks; service, guide, package (in a 32-bit prefix), soak and race scenarios under Wine"
    ran_64="artefact checks; service, guide and package scenarios under Wine, the x86 package's in a 64-bit prefix too (no soak)"
else
    beside "32-bit build: the artefact checks that need no 32-bit code, the silent loader, scripted answers" \
        ctest --preset win32 -L 'artefacts|silent-loader|scripted-answers'
    joined
    ran_32="format, version resource, manifest and the x86 package's tables checked, and its scenarios failing where no Windows program runs; neither run under Wine, since $build_reason"
    ran_64="artefact checks; service, guide, package, soak and race scenarios under Wine"
fi
release="$(cd dist && stat -c '%n %s bytes' pelmorane-* | paste -sd, | sed 's/,/, /g')"
release+="; signed with a throwaway certificate; checked, made twice, from its PKCS#12 file and"
release+=" from a SoftHSM2 token: byte-identical"

echo "=== passed, in $((SECONDS - begin)) s"
echo "host: unit tests, static analysis, unit tests under ASan and UBSan, fuzzing"
echo "release: $release"
echo "32-bit build, dist/pelmorane.exe and its package: $ran_32"
echo "64-bit build, dist/x64/pelmorane.exe and its package: $ran_64"
