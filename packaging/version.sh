#!/usr/bin/env bash
# Prints the version of these sources, the CMake project's; with --next, the next patch version,
# which the tests make a release of to upgrade to.
set -euo pipefail
version=$(sed -n 's/^project(Pelmorane VERSION \([0-9.]*\) .*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
[ "${1:-}" != --next ] || version=$(awk -F. '{ print $1 "." $2 "." $3 + 1 }' <<<"$version")
echo "$version"
