#!/usr/bin/env bash
# Makes a release into dist/: both executables in a ZIP, the Windows Installer packages, the bill
# of materials and SHA256SUMS; signed when given a key. packaging/README.md tells the rest.
#
#   scripts/release.sh [--companion FILE] [--version X.Y.Z]
#     --companion FILE  also the packages that install FILE as kiv.exe beside the service
#     --version X.Y.Z   these sources as that version, into build/release-X.Y.Z/dist/
exec "$(dirname "$0")/../packaging/release.sh" "$@"
