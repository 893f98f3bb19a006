#!/usr/bin/env bash
# The checks of the release in dist/, each a CTest test of the release preset:
#   checks.sh contents      exactly what ships, the archive under 64 KiB
#   checks.sh checksums     SHA256SUMS right
#   checks.sh sbom          the bill of materials valid, and true to SHA256SUMS
#   checks.sh reproducible  the second making has the same bytes
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/test-lib.sh
version=$(packaging/version.sh)
again=build/release-again

contents() {
    check "dist/ holds the archive, both packages and the bill of materials" \
        [ "$(cd dist && echo pelmorane-* | tr ' ' '\n' | LC_ALL=C sort | xargs)" = \
        "pelmorane-$version-windows.zip pelmorane-$version-x64.msi pelmorane-$version-x86.msi pelmorane-$version.cdx.json" ]
    check "the archive holds both executables, the guide and the changelog" \
        [ "$(cmake -E tar tf "dist/pelmorane-$version-windows.zip" | sort | xargs)" = \
        "CHANGELOG.txt README.txt win32/pelmorane.exe x64/pelmorane.exe" ]
    check "the archive is under 64 KiB" [ "$(stat -c %s "dist/pelmorane-$version-windows.zip")" -lt 65536 ]
}

checksums() {
    check "SHA256SUMS is right" sh -c 'cd dist && sha256sum -c SHA256SUMS'
}

sbom() {
    check "the bill of materials is valid and has the SHA-256s of SHA256SUMS" \
        /usr/bin/python3 tests/release/sbom.py "dist/pelmorane-$version.cdx.json" dist/SHA256SUMS
}

reproducible() {
    local artefact
    needs "$again/dist/SHA256SUMS" tests/release/make-again.sh
    for artefact in $(awk '{ print $2 }' dist/SHA256SUMS) SHA256SUMS; do
        check "$artefact: the same bytes, made again from a copy and signed from the token" \
            cmp "$again/dist/$artefact" "dist/$artefact"
    done
}

case ${1:-} in
contents | checksums | sbom | reproducible)
    needs dist/SHA256SUMS scripts/release.sh
    "$1"
    ;;
*) fail "usage: tests/release/checks.sh contents | checksums | sbom | reproducible" ;;
esac
