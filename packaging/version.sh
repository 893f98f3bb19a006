#!/usr/bin/env bash
# Prints the version of these sources, which packaging/release.cmake says; with --next, the next
# patch version, which the tests make a release of to upgrade to.
set -euo pipefail
version=$(cmake -D FACT=version -P "$(dirname "$0")/release.cmake")
[ "${1:-}" != --next ] || version=$(awk -F. '{ print $1 "." $2 "." $3 + 1 }' <<<"$version")
echo "$version"
