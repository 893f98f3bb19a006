#!/usr/bin/env bash
# Makes a release: builds the service in both Windows presets, stages what
# ships with `cmake --install`, and writes
#   dist/pelmorane-<version>-windows.zip         win32/pelmorane.exe, x64/pelmorane.exe,
#                                                README.txt, CHANGELOG.txt
#   dist/pelmorane-<version>-windows.zip.sha256  its checksum, for `sha256sum -c` in dist/
# Two runs on one commit give the same bytes, whoever runs them and wherever the
# tree is: every entry gets the commit's time, in UTC, and no owner.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
version=$(sed -n 's/^project(Pelmorane VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
commit_time=$(git log -1 --format=%ct) || { echo "release: needs a git checkout" >&2 && exit 1; }
zip=pelmorane-$version-windows.zip
stage=build/release

rm -rf "$stage"
for preset in win32 win64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target pelmorane >/dev/null
    cmake --install "build/$preset" --prefix "$stage" >/dev/null
done

mkdir -p dist
rm -f "dist/$zip"
(cd "$stage" && cmake -E tar cf "../../dist/$zip" --format=zip -- \
    win32/pelmorane.exe x64/pelmorane.exe README.txt CHANGELOG.txt)
# Entry times, access and change times included, and owner ids; ZIP times are local times.
TZ=UTC strip-nondeterminism --type zip --timestamp "$commit_time" "dist/$zip"
(cd dist && sha256sum "$zip" >"$zip.sha256")
echo "release: dist/$zip, $(stat -c %s "dist/$zip") bytes, SHA-256 $(cut -d' ' -f1 "dist/$zip.sha256")"
