#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests and the
# static analysis on the host, the unit tests again under ASan and UBSan with a
# bounded fuzzing run; a release signed with a throwaway certificate, made twice
# (from its PKCS#12 file, then from a SoftHSM2 token) to show it reproducible,
# with its bill of materials checked, and a later one, unsigned, to upgrade to,
# with the checks of their signatures and of what signing refuses; then the
# checks of both built executables and packages and the end-to-end, package,
# soak and race scenarios under Wine. Says how long each step took, and at the
# end which build ran which suite.
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

# The release just made: exactly what ships, the archive under 64 KiB, the checksums right, its
# bill of materials valid and true to them, and the same bytes when made again, later, from a copy
# of the tree in another place, signed with the same key from a PKCS#11 token.
release_checked() {
    local copy=build/release-copy artefact token
    rm -rf "$copy"
    mkdir -p "$copy"
    tar -c --exclude=./build --exclude=./dist . | tar -x -C "$copy"
    sleep 2 # so that the second release is made at least 2 s after the first
    mapfile -t token <build/signing/token.env
    env -u PELMORANE_SIGN_PKCS12 -u PELMORANE_SIGN_PASSWORD_FILE "${token[@]}" \
        "$copy/scripts/release.sh" >/dev/null
    for artefact in $(awk '{ print $2 }' dist/SHA256SUMS) SHA256SUMS; do
        cmp "$copy/dist/$artefact" "dist/$artefact"
    done
    rm -rf "$copy"
    [ "$(cd dist && echo pelmorane-* | tr ' ' '\n' | LC_ALL=C sort | xargs)" = \
        "pelmorane-$version-windows.zip pelmorane-$version-x64.msi pelmorane-$version-x86.msi pelmorane-$version.cdx.json" ]
    [ "$(cmake -E tar tf "dist/pelmorane-$version-windows.zip" | sort | xargs)" = \
        "CHANGELOG.txt README.txt win32/pelmorane.exe x64/pelmorane.exe" ]
    [ "$(stat -c %s "dist/pelmorane-$version-windows.zip")" -lt 65536 ]
    (cd dist && sha256sum -c SHA256SUMS)
    /usr/bin/python3 tests/release/sbom.py "dist/pelmorane-$version.cdx.json" dist/SHA256SUMS
    release="$(cd dist && stat -c '%n %s bytes' pelmorane-* | paste -sd, | sed 's/,/, /g')"
    release+="; signed with a throwaway certificate; checked, made twice, from its PKCS#12 file and"
    release+=" from a SoftHSM2 token: byte-identical"
    echo "release: $release"
}

# A later version of these sources, to upgrade to, with the sample companion packaged too: for the
# package scenarios. Made without a certificate, it shows that such a release holds no signature.
later_release() {
    local later
    later=$(awk -F. '{ print $1 "." $2 "." $3 + 1 }' <<<"$version")
    env -u PELMORANE_SIGN_PKCS12 scripts/release.sh --version "$later" --companion "$companion_exe"
    export PELMORANE_LATER_RELEASE=$PWD/build/release-$later/dist
}

step "install what is missing" scripts/install-deps.sh
source scripts/wine-service.sh
choose_build
announce "runs the whole end-to-end suite on"
name_build "$build"
version=$(sed -n 's/^project(Pelmorane VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)

step "build" scripts/build.sh
step "unit tests, static analysis" ctest --preset host -j "$(nproc)"
step "unit tests under ASan and UBSan, fuzzing" sanitized
step "signing material: a throwaway CA and certificates" tests/release/signatures.sh material
# No time stamp, on purpose: a release signed with one is not reproducible.
export PELMORANE_SIGN_PKCS12=$PWD/build/signing/signer.p12 \
    PELMORANE_SIGN_PASSWORD_FILE=$PWD/build/signing/password PELMORANE_SIGN_CA=$PWD/build/signing/ca.pem \
    PELMORANE_SIGN_NO_TIMESTAMP=1
step "release, signed with them" scripts/release.sh
step "release: contents, checksums, reproducibility" release_checked
step "a later release, unsigned, to upgrade to" later_release
step "signatures" tests/release/signatures.sh check "$PELMORANE_LATER_RELEASE"
# The scenarios mostly wait on the service, each in a prefix of its own.
if [ "$build" = win32 ]; then
    step "32-bit build: executable and package checks, end-to-end, package, soak and race scenarios" \
        env PELMORANE_SOAK=1 ctest --preset win32 -j 4
    step "64-bit build: executable and package checks, end-to-end and package scenarios" \
        env PELMORANE_SOAK=0 ctest --preset win64 -j 4
    ran_32="executable and package checks; end-to-end, package (in a 32-bit prefix), soak and race scenarios under Wine"
    ran_64="executable and package checks; end-to-end and package scenarios under Wine, the x86 package's in a 64-bit prefix too (no soak)"
else
    step "32-bit build: the executable and package checks that need no 32-bit code" \
        ctest --preset win32 -L exe
    step "64-bit build: executable and package checks, end-to-end, package, soak and race scenarios" \
        env PELMORANE_SOAK=1 ctest --preset win64 -j 4
    ran_32="format, version resource and the x86 package's contents checked; neither run under Wine, since $build_reason"
    ran_64="executable and package checks; end-to-end, package, soak and race scenarios under Wine"
fi

echo "=== passed"
echo "host: unit tests, static analysis, unit tests under ASan and UBSan, fuzzing"
echo "release: $release"
echo "32-bit build, dist/pelmorane.exe and its package: $ran_32"
echo "64-bit build, dist/x64/pelmorane.exe and its package: $ran_64"
