#!/usr/bin/env bash
# scripts/install-deps.sh against stand-ins for dpkg, dpkg-query, apt-get and id on PATH, and for
# the 32-bit program that tells whether the kernel runs one: a machine that lacks two packages, and
# a mirror whose update fails in part, for a while or for good. Each case: what the install may not
# take, how many updates fail, whether 32-bit code runs, its exit code, how many updates it ran, and
# what it must say.
set -euo pipefail
source "$(dirname "$0")/../test-lib.sh"
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
export STATE=$bin/state PATH=$bin:$PATH PELMORANE_I386_PROGRAM=$bin/i386 PELMORANE_APT_RETRY_SECONDS=0
unset PELMORANE_DEPS_CHECKED

stand_in() {
    printf '#!/usr/bin/env bash\n%s\n' "$2" >"$bin/$1"
    chmod +x "$bin/$1"
}
stand_in id 'echo 0'
stand_in dpkg 'echo i386'
# Every package is installed but those listed in missing.
stand_in dpkg-query 'grep -qxF -- "${!#}" "$STATE/missing" && exit 1; echo "install ok installed"'
# The update fails for one index as many times as told, then brings what was broken; an install
# fails whole where it takes an uninstallable package.
stand_in apt-get '
if [ "$1" = update ]; then
    echo x >>"$STATE/updates"
    [ "$(wc -l <"$STATE/updates")" -gt "$(cat "$STATE/failing")" ] && : >"$STATE/broken" && exit 0
    echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size" >&2
    exit 100
fi
for p; do
    if grep -qxF -- "$p" "$STATE/broken"; then
        echo " $p : Depends: libc6:i386 but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100
    fi
done
[ "$2" = -s ] && exit 0
for p; do grep -vxF -- "$p" "$STATE/missing" >"$STATE/left" || true; mv "$STATE/left" "$STATE/missing"; done'

# case <what> <missing> <broken> <failing updates> <the 32-bit program's exit: 32 runs, 126 not>
#   <exit code> <updates run> <still missing> <what it says...>
case_() {
    local what=$1 code=0 out
    mkdir -p "$STATE"
    tr ' ' '\n' <<<"$2" >"$STATE/missing"
    tr ' ' '\n' <<<"$3" >"$STATE/broken"
    echo "$4" >"$STATE/failing"
    stand_in i386 "exit $5"
    out=$("$root/scripts/install-deps.sh" 2>&1) || code=$?
    check "$what: exit $code" [ "$code" = "$6" ]
    check "$what: $7 updates" [ "$(cat "$STATE/updates" 2>/dev/null | wc -l)" = "$7" ]
    check "$what: still missing: ${8:-none}" [ "$(sort "$STATE/missing" | xargs)" = "$8" ]
    shift 8
    for said; do
        check "$what: says '$said'" grep -qF -- "$said" <<<"$out"
    done
    rm -rf "$STATE"
}

case_ "nothing missing" "" "" 0 32 0 0 ""
case_ "the 32-bit Wine uninstallable for good" "wixl wine32:i386" "wine32:i386" 9 32 0 4 wine32:i386 \
    "apt-get update failed in part" "unexpected size" \
    "cannot install wine32:i386: wine32:i386 : Depends: libc6:i386" \
    "the update again in 0 s (3 of 3)" "wine32:i386 is missing: Wine runs only the 64-bit build here"
case_ "the mirror's sync ends after two failed updates" "wixl wine32:i386" "wine32:i386" 2 32 0 3 "" \
    "the update again in 0 s (2 of 3)"
case_ "a kernel that runs no 32-bit program is not made to wait" "wixl wine32:i386" "wine32:i386" 9 126 0 1 \
    wine32:i386 "this kernel runs no 32-bit program" "wine32:i386 is missing: Wine runs only the 64-bit build here"
case_ "another package uninstallable too" "wixl wine32:i386" "wixl wine32:i386" 9 32 1 1 "wine32:i386 wixl" \
    "cannot install wixl" "still missing: wine32:i386 wixl"
