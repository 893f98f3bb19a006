#!/usr/bin/env bash
# Installs, on Debian, the packages the build and the tests need and the
# machine lacks. Packages that are present are left alone.
set -euo pipefail

packages=(
    cmake g++ make libgtest-dev               # host build and unit tests
    g++-mingw-w64-i686 binutils-mingw-w64-i686 # Windows build, windres
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]}; run as root to install them" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
