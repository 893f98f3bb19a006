#!/usr/bin/env bash
# The checks of the release in dist/, each a CTest test of the release preset, and the second
# making of it that the reproducibility check compares with:
#   checks.sh remake        makes the release again, later, from a copy of the tree in another
#                           place, signed with the same key from the SoftHSM2 token, into
#                           build/release-again/dist
#   checks.sh released <kiv.exe>
#                           makes the release of 1.2.0 from its commit, as it was released, with
#                           that companion too, into build/release-1.2.0/dist: the package
#                           scenarios upgrade from it
#   checks.sh contents      exactly what ships, the archive under 64 KiB
#   checks.sh checksums     SHA256SUMS right
#   checks.sh sbom          the bill of materials valid, and true to SHA256SUMS
#   checks.sh reproducible  the second making has the same bytes
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/lib.sh
version=$(packaging/version.sh)
again=build/release-again

remake() {
    local token
    needs build/signing/token.env "tests/release/signatures.sh material"
    rm -rf "$again"
    mkdir -p "$again/tree"
    tar -c --exclude=./build --exclude=./dist . | tar -x -C "$again/tree"
    sleep 2 # so that the second release is made at least 2 s after the first
    mapfile -t token <build/signing/token.env
    env -u PELMORANE_SIGN_PKCS12 "${token[@]}" "$again/tree/scripts/release.sh" >/dev/null
    mv "$again/tree/dist" "$again/dist"
    rm -rf "$again/tree"
    echo "remade: $again/dist"
}

released() {
    local commit=b7e07b1da661730be250b7153a29005d8dcfbe3f folder=build/release-1.2.0 companion
    companion=$(realpath -e "${1:?usage: tests/release/checks.sh released <kiv.exe>}")
    git cat-file -e "$commit^{commit}" 2>/dev/null || fail "this clone lacks 1.2.0's commit $commit"
    rm -rf "$folder"
    git clone --quiet --no-checkout . "$folder/tree"
    git -C "$folder/tree" checkout --quiet "$commit"
    # Today's set-up, which gets through a mirror mid-sync where 1.2.0's stops; git looks past
    # it, so that the build still names 1.2.0's commit, unmodified.
    cp scripts/install-deps.sh "$folder/tree/scripts/install-deps.sh"
    git -C "$folder/tree" update-index --skip-worktree scripts/install-deps.sh
    "$folder/tree/scripts/release.sh" --companion "$companion" >/dev/null
    mv "$folder/tree/dist" "$folder/dist"
    rm -rf "$folder/tree"
    echo "released: $folder/dist"
}

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
    needs "$again/dist/SHA256SUMS" "tests/release/checks.sh remake"
    for artefact in $(awk '{ print $2 }' dist/SHA256SUMS) SHA256SUMS; do
        check "$artefact: the same bytes, made again from a copy and signed from the token" \
            cmp "$again/dist/$artefact" "dist/$artefact"
    done
}

case ${1:-} in
remake) remake ;;
released) released "${2:-}" ;;
contents | checksums | sbom | reproducible)
    needs dist/SHA256SUMS scripts/release.sh
    "$1"
    ;;
*) fail "usage: tests/release/checks.sh remake | released <kiv.exe> | contents | checksums | sbom | reproducible" ;;
esac
