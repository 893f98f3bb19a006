#!/usr/bin/env bash
# Installs, on Debian, the packages the build, the tests and the demo need and
# the machine lacks. Packages that are present are left alone.
set -euo pipefail

packages=(
    cmake g++ make git libgtest-dev                # host build and unit tests
    g++-mingw-w64-i686 binutils-mingw-w64-i686     # Windows builds, windres: 32-bit
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 # and 64-bit
    wine wine32:i386 wine64                        # running the service: demo, tests, benchmark
    clang libclang-rt-14-dev clang-tidy cppcheck   # sanitizers, fuzzing, static analysis
    strip-nondeterminism                           # reproducible release archives
    wixl python3-gi gir1.2-libmsi-1.0 msitools     # release packages: build, summary, reading
    osslsigncode openssl                           # signed releases,
    softhsm2 libengine-pkcs11-openssl              # with a key in a PKCS#11 token
    python3-jsonschema                             # the bill of materials checked
)

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]}; run as root to install them" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32 is a 32-bit package.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
