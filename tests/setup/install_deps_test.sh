#!/usr/bin/env bash
# scripts/install-deps.sh against stand-ins for dpkg, dpkg-query, apt-get and id on PATH: a
# machine that lacks two packages, and a mirror whose update fails in part. Each case: what the
# install may not take, its exit code, and what it must say.
set -euo pipefail
source "$(dirname "$0")/../test-lib.sh"
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
export STATE=$bin/state PATH=$bin:$PATH
unset PELMORANE_DEPS_CHECKED

stand_in() {
    printf '#!/usr/bin/env bash\n%s\n' "$2" >"$bin/$1"
    chmod +x "$bin/$1"
}
stand_in id 'echo 0'
stand_in dpkg 'echo i386'
# Every package is installed but those listed in missing.
stand_in dpkg-query 'grep -qxF -- "${!#}" "$STATE/missing" && exit 1; echo "install ok installed"'
# The update fails for one index; an install fails whole where it takes an uninstallable package.
stand_in apt-get '
case $1 in update) echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size" >&2
    exit 100 ;; esac
for p; do
    if grep -qxF -- "$p" "$STATE/broken"; then
        echo " $p : Depends: libc6:i386 but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100
    fi
done
[ "$2" = -s ] && exit 0
for p; do grep -vxF -- "$p" "$STATE/missing" >"$STATE/left" || true; mv "$STATE/left" "$STATE/missing"; done'

# case <what> <missing> <broken> <exit code> <what it says...>
case_() {
    local what=$1 code=0 out
    mkdir -p "$STATE"
    tr ' ' '\n' <<<"$2" >"$STATE/missing"
    tr ' ' '\n' <<<"$3" >"$STATE/broken"
    out=$("$root/scripts/install-deps.sh" 2>&1) || code=$?
    check "$what: exit $code" [ "$code" = "$4" ]
    shift 4
    for said; do
        check "$what: says '$said'" grep -qF -- "$said" <<<"$out"
    done
    rm -rf "$STATE"
}

case_ "nothing missing" "" "" 0
case_ "only the 32-bit Wine uninstallable" "wixl wine32:i386" "wine32:i386" 0 \
    "apt-get update failed in part" "unexpected size" \
    "cannot install wine32:i386: wine32:i386 : Depends: libc6:i386" \
    "wine32:i386 is missing: Wine runs only the 64-bit build here"
case_ "another package uninstallable too" "wixl wine32:i386" "wixl wine32:i386" 1 \
    "cannot install wixl" "still missing: wine32:i386 wixl"
