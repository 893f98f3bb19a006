#!/usr/bin/env bash
# Makes the release again, later, from a copy of the tree in another place, signed with the same
# key from the SoftHSM2 token, into build/release-again/dist: release.reproducible compares it
# with dist/.
#   tests/release/make-again.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/test-lib.sh
again=build/release-again
needs build/signing/token.env "tests/release/signatures.sh material"
rm -rf "$again"
mkdir -p "$again/tree"
tar -c --exclude=./build --exclude=./dist . | tar -x -C "$again/tree"
sleep 2 # so that the second release is made at least 2 s after the first
mapfile -t token <build/signing/token.env
env -u PELMORANE_SIGN_PKCS12 "${token[@]}" "$again/tree/scripts/release.sh" >/dev/null
mv "$again/tree/dist" "$again/dist"
rm -rf "$again/tree"
echo "made again: $again/dist"
