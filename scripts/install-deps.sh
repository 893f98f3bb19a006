#!/usr/bin/env bash
# Installs, on Debian, the packages the build, the tests and the demo need and
# the machine lacks. Packages that are present are left alone.
#
# A package mirror can fail part of an update (one index mid-sync): that is said,
# and the install goes on with the lists apt has. Where the packages cannot all be
# installed together, each one that cannot is named with apt's reason and the rest
# are installed. Only the 32-bit Wine may stay missing: the scripts then run the
# 64-bit build under Wine, as on a host that runs no 32-bit code, and say why.
# PELMORANE_DEPS_CHECKED=1 says that the caller has just run it: the commands that
# scripts/test.sh runs after it do not try again.
set -euo pipefail
[ "${PELMORANE_DEPS_CHECKED:-}" != 1 ] || exit 0

packages=(
    cmake g++ make git libgtest-dev                # host build and unit tests
    g++-mingw-w64-i686 binutils-mingw-w64-i686     # Windows builds, windres: 32-bit
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 # and 64-bit
    wine wine64 wine32:i386                        # running the service: demo, tests, benchmark
    clang libclang-rt-14-dev clang-tidy cppcheck   # sanitizers, fuzzing, static analysis
    strip-nondeterminism                           # reproducible release archives
    wixl python3-gi gir1.2-libmsi-1.0 msitools     # release packages: build, summary, reading
    osslsigncode openssl                           # signed releases,
    softhsm2 libengine-pkcs11-openssl              # with a key in a PKCS#11 token
    python3-jsonschema                             # the bill of materials checked
)
optional=wine32:i386 # the 32-bit loader: without it, the 64-bit build runs under Wine

say() {
    echo "install-deps: $*" >&2
}

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

missing() {
    local package
    for package in "${packages[@]}"; do
        installed "$package" || echo "$package"
    done
}

install() {
    apt-get install -y -q --no-install-recommends "$@"
}

mapfile -t missing < <(missing)
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    say "missing packages: ${missing[*]}; run as root to install them"
    exit 1
fi
say "installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32 is a 32-bit package.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
# apt-get update exits 0 on some failed indexes, and 100 on others: its errors tell.
errors=$(apt-get update -q 2>&1 >/dev/null | grep '^E:') || true
[ -z "$errors" ] || say "apt-get update failed in part; going on with the lists apt has:
$errors"

if ! install "${missing[@]}"; then
    # Tried one by one, apt names what it cannot install, and why.
    installable=()
    for package in "${missing[@]}"; do
        if why=$(apt-get install -s -q --no-install-recommends "$package" 2>&1); then
            installable+=("$package")
        else
            say "cannot install $package: $(grep -E '^ |^E:' <<<"$why" | head -n 3 | xargs)"
        fi
    done
    [ ${#installable[@]} -eq 0 ] || install "${installable[@]}" || true
fi

mapfile -t missing < <(missing)
if [ ${#missing[@]} -eq 1 ] && [ "${missing[0]}" = "$optional" ]; then
    say "$optional is missing: Wine runs only the 64-bit build here"
elif [ ${#missing[@]} -gt 0 ]; then
    say "still missing: ${missing[*]}"
    exit 1
fi
