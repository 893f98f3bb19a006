#!/usr/bin/env bash
# The release pipeline, behind scripts/release.sh: builds the service in both Windows presets,
# stages what ships with `cmake --install`, and writes into dist/
#   pelmorane-<version>-windows.zip  win32/pelmorane.exe, x64/pelmorane.exe, README.txt,
#                                    CHANGELOG.txt
#   pelmorane-<version>-x86.msi      the Windows Installer package of the 32-bit build
#   pelmorane-<version>-x64.msi      and of the 64-bit build (packaging/pelmorane.wxs)
#   pelmorane-<version>.cdx.json     the bill of materials (CycloneDX 1.6): these files, what is
#                                    linked into each executable, and the tools that made them
#   SHA256SUMS                       their checksums, for `sha256sum -c SHA256SUMS` in dist/
# Given a key (PELMORANE_SIGN_PKCS12, or PELMORANE_SIGN_PKCS11_KEY, and the other variables of
# packaging/sign.sh), it signs both executables before they go into the archive and the
# packages, and then each package; the executables in dist/ stay as built. Its last line says
# whether the release is signed, and by whom.
# Two runs on one commit give the same bytes, whoever runs them and wherever the tree is:
# every staged file and archive entry gets the commit's time, and the packages' summary
# information that time and a package code made from their content.
#
#   scripts/release.sh [--companion FILE] [--version X.Y.Z]
#     --companion FILE  also writes pelmorane-<version>-<x86|x64>-with-kiv.msi, packages of
#                       lines of their own that install FILE as kiv.exe beside the service
#     --version X.Y.Z   builds these sources as that version instead, in build/release-X.Y.Z/,
#                       and writes there, in dist/ (the tests make a later version to upgrade to)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
    echo "usage: scripts/release.sh [--companion FILE] [--version X.Y.Z]" >&2
    exit 2
}
companion="" override=""
while [ $# -gt 0 ]; do
    case $1 in
    --companion) [ $# -ge 2 ] || usage; companion=$(realpath -e "$2") ;;
    --version) [[ ${2:-} =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || usage; override=$2 ;;
    *) usage ;;
    esac
    shift 2
done

scripts/install-deps.sh
commit_time=$(git log -1 --format=%ct) || { echo "release: needs a git checkout" >&2 && exit 1; }
if [ -n "$override" ]; then
    version=$override
    tree=build/release-$version
    dist=$tree/dist
    configure=(-DPELMORANE_VERSION_OVERRIDE="$version" -DPELMORANE_DIST_DIR="$root/$tree/bin")
else
    version=$(packaging/version.sh)
    tree=build
    dist=dist
    configure=()
fi
stage=$tree/release
zip=pelmorane-$version-windows.zip

rm -rf "$stage"
for preset in win32 win64; do
    cmake --preset "$preset" -B "$tree/$preset" "${configure[@]}" >/dev/null
    cmake --build "$tree/$preset" --target pelmorane >/dev/null
    cmake --install "$tree/$preset" --prefix "$stage" >/dev/null
done
if [ -n "$companion" ]; then
    mkdir "$stage/companion"
    cp "$companion" "$stage/companion/kiv.exe"
fi
signed=${PELMORANE_SIGN_PKCS12:-${PELMORANE_SIGN_PKCS11_KEY:-}}
[ -z "$signed" ] || packaging/sign.sh "$commit_time" "$stage"/{win32,x64}/pelmorane.exe
# The packages' cabinets carry their files' times.
find "$stage" -exec touch -h -d "@$commit_time" {} +

mkdir -p "$dist"
rm -f "$dist"/pelmorane-* "$dist/SHA256SUMS"
(cd "$stage" && cmake -E tar cf "$root/$dist/$zip" --format=zip -- \
    win32/pelmorane.exe x64/pelmorane.exe README.txt CHANGELOG.txt)
# Entry times, access and change times included, and owner ids; ZIP times are local times.
TZ=UTC strip-nondeterminism --type zip --timestamp "$commit_time" "$dist/$zip"

# package <preset> <arch> <file name> <with kiv.exe: yes or no>: one package of that build, from
# its staging folder, with the identities that its build tree holds (package.wxi).
package() {
    local preset=$1 arch=$2 msi=$root/$dist/$3 companion=$4 folder=win32
    [ "$arch" = x86 ] || folder=x64
    (cd "$stage/$folder" && wixl -a "$arch" -I "$root/$tree/$preset" -o "$msi" \
        -D Companion="$companion" "$root/packaging/pelmorane.wxs")
    local files=("pelmorane.exe=$stage/$folder/pelmorane.exe")
    [ "$companion" = no ] || files+=("kiv.exe=$stage/companion/kiv.exe")
    /usr/bin/python3 packaging/complete-package.py "$msi" "$commit_time" "${files[@]}"
    [ -z "$signed" ] || packaging/sign.sh "$commit_time" "${msi#"$root"/}"
}
package win32 x86 "pelmorane-$version-x86.msi" no
package win64 x64 "pelmorane-$version-x64.msi" no
if [ -n "$companion" ]; then
    package win32 x86 "pelmorane-$version-x86-with-kiv.msi" yes
    package win64 x64 "pelmorane-$version-x64-with-kiv.msi" yes
fi

# The tools that made or changed what ships: compilers and binutils (windres and ld), CMake's
# archiver and strip-nondeterminism, wixl and the Libmsi it uses, and osslsigncode if it signed.
tools=({i686,x86_64}-w64-mingw32-{g++,gcc,windres,ld} cmake strip-nondeterminism wixl
    "$(ldd "$(command -v wixl)" | awk '$1 ~ /^libmsi/ { print $3 }')")
[ -z "$signed" ] || tools+=(osslsigncode)
/usr/bin/python3 packaging/sbom.py "$dist/pelmorane-$version.cdx.json" --version "$version" \
    --publisher "$(cmake -D FACT=publisher -P packaging/release.cmake)" --time "$commit_time" \
    --file "$dist/$zip" "$dist"/pelmorane-"$version"-*.msi \
    --exe win32/pelmorane.exe "$stage/win32/pelmorane.exe" "$tree/win32/pelmorane.map" \
    --exe x64/pelmorane.exe "$stage/x64/pelmorane.exe" "$tree/win64/pelmorane.map" \
    --tool "${tools[@]}"

(cd "$dist" && sha256sum pelmorane-* >SHA256SUMS)
while read -r sum file; do
    echo "release: $dist/$file, $(stat -c %s "$dist/$file") bytes, SHA-256 $sum"
done <"$dist/SHA256SUMS"
if [ -n "$signed" ]; then
    echo "release: signed by $(packaging/sign.sh --signer)"
else
    echo "release: unsigned (no key given: PELMORANE_SIGN_PKCS12 or PELMORANE_SIGN_PKCS11_KEY)"
fi
