#!/usr/bin/env bash
# Makes the release of 1.2.0 from its commit, as it was released, with the given companion too,
# into build/release-1.2.0/dist: the package scenarios upgrade from it.
#   tests/release/make-1.2.0.sh <kiv.exe>
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/test-lib.sh
commit=b7e07b1da661730be250b7153a29005d8dcfbe3f folder=build/release-1.2.0
companion=$(realpath -e "${1:?usage: tests/release/make-1.2.0.sh <kiv.exe>}")
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
echo "made: $folder/dist"
