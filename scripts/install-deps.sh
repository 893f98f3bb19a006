#!/usr/bin/env bash
# Installs, on Debian, the packages the build, the tests and the demo need and
# the machine lacks. Packages that are present are left alone.
#
# A package mirror can fail part of an update (one index mid-sync): that is said,
# and the install goes on with the lists apt has. Where the packages cannot all be
# installed together, each one that cannot is named with apt's reason and the rest
# are installed. Only the 32-bit Wine may stay missing: where the update failed and
# this kernel runs 32-bit programs, the update is tried again (a mirror ends its sync
# within minutes: 3 tries, PELMORANE_APT_RETRY_SECONDS apart, 60 by default) before
# the scripts run the 64-bit build under Wine, as on a host that runs no 32-bit code.
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
# update: apt-get update, saying its errors, if any (it exits 0 on some failed indexes, and 100
# on others: its errors tell); fails where it had some.
update() {
    local errors
    errors=$(apt-get update -q 2>&1 >/dev/null | grep '^E:') || true
    [ -n "$errors" ] || return 0
    say "apt-get update failed in part; going on with the lists apt has:
$errors"
    return 1
}

# install_what_can <package...>: installs them; where they cannot all be installed together, names
# each one that cannot, with apt's reason, and installs the rest.
install_what_can() {
    install "$@" && return 0
    local package why installable=()
    for package; do
        if why=$(apt-get install -s -q --no-install-recommends "$package" 2>&1); then
            installable+=("$package")
        else
            say "cannot install $package: $(grep -E '^ |^E:' <<<"$why" | head -n 3 | xargs)"
        fi
    done
    [ ${#installable[@]} -eq 0 ] || install "${installable[@]}" || true
}

# Whether this kernel runs 32-bit x86 programs, as Wine's 32-bit loader is one: a program of 93
# bytes (an ELF header, one segment, and the exit system call with 32) must exit with 32. Some
# kernels have no IA-32 emulation ("Exec format error", 126). PELMORANE_I386_PROGRAM, where set,
# is run in its place (the set-up's test).
runs_32_bit_code() {
    local program=${PELMORANE_I386_PROGRAM:-} code=0 elf
    if [ -z "$program" ]; then
        program=$(mktemp)
        elf='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'
        elf+='\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00'
        elf+='\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'
        elf+='\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
        elf+='\x31\xdb\xb3\x20\x31\xc0\x40\xcd\x80' # xor ebx, ebx; mov bl, 32; exit (eax 1)
        printf "$elf" >"$program"
        chmod +x "$program"
    fi
    "$program" 2>/dev/null || code=$?
    [ -n "${PELMORANE_I386_PROGRAM:-}" ] || rm -f "$program"
    [ $code = 32 ]
}

updated=yes
update || updated=no
install_what_can "${missing[@]}"
mapfile -t missing < <(missing)

# The 32-bit Wine alone missing after a failed update: the mirror may be mid-sync. Where it could
# not run anyway, nothing is waited for.
if [ $updated = no ] && [ "${missing[*]}" = "$optional" ]; then
    if runs_32_bit_code; then
        wait_s=${PELMORANE_APT_RETRY_SECONDS:-60}
        for try in 1 2 3; do
            say "$optional cannot be installed after a failed update; the update again in $wait_s s ($try of 3)"
            sleep "$wait_s"
            update || true
            install_what_can "$optional"
            ! installed "$optional" || break
        done
        mapfile -t missing < <(missing)
    else
        say "this kernel runs no 32-bit program, so $optional could not run: the update is not tried again"
    fi
fi

if [ ${#missing[@]} -eq 1 ] && [ "${missing[0]}" = "$optional" ]; then
    say "$optional is missing: Wine runs only the 64-bit build here"
elif [ ${#missing[@]} -gt 0 ]; then
    say "still missing: ${missing[*]}"
    exit 1
fi
