# The checks that every test script shares, the scenarios' and the release's: a check that says
# what it checked, waits with a bound, and the executable's format, with the release's rules that
# it holds the executables to. Sources the Wine library for where things are (`root`).
source "$(dirname "${BASH_SOURCE[0]}")/../tools/wine-service.sh"

# What the service executable may import, and its size limit; both builds.
system_dlls="ADVAPI32.dll KERNEL32.dll msvcrt.dll USER32.dll"
size_limit=20480
objdump=x86_64-w64-mingw32-objdump # reads the executables of both builds

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# check <what> <command...>: the command must succeed.
check() {
    local what=$1
    shift
    "$@" || fail "$what"
    echo "ok: $what"
}

# now_ms: milliseconds on a clock that only runs forward, for durations and deadlines: the host's
# wall clock may be stepped (seen here: 20 s forward in the middle of a scenario).
now_ms() {
    local up
    read -r up _ </proc/uptime
    echo $((10#${up/./} * 10))
}

# eventually <seconds> <command...>: the command succeeds within that time. Tried twice a second:
# most such commands start Windows programs, each a tenth of a second of a core.
eventually() {
    local deadline=$(($(now_ms) + $1 * 1000))
    shift
    until "$@"; do
        (($(now_ms) < deadline)) || return 1
        sleep 0.5
    done
}

# within <value> <low> <high>
within() {
    (($1 >= $2 && $1 <= $3)) || { echo "  $1 is not within $2..$3" >&2 && return 1; }
}

# needs <file> <command that makes it>: fails, naming the command, where the file is missing.
needs() {
    [ -e "$1" ] || fail "no ${1#"$root"/}: $2 makes it"
}

# exe_format <exe> <win32|win64>: a stripped console executable of that build, importing only
# system DLLs, within the size limit once any signature is left out.
exe_format() {
    local exe=$1 dump size imports signature
    dump=$("$objdump" -p "$exe")
    if [ "$2" = win64 ]; then
        check "PE32+" grep -qE "^Magic\s+020b\s+\(PE32\+\)" <<<"$dump"
        check "for x86-64" grep -q "file format pei-x86-64" <<<"$dump"
    else
        check "PE32" grep -qE "^Magic\s+010b\s+\(PE32\)" <<<"$dump"
        check "for i386" grep -q "file format pei-i386" <<<"$dump"
    fi
    check "console subsystem" grep -qE "^Subsystem\s+00000003" <<<"$dump"
    # ASLR and DEP on both; high-entropy ASLR on x64; on x86, no SEH handlers.
    local flags="DYNAMIC_BASE NX_COMPAT NO_SEH" characteristics=00000540
    [ "$2" = win32 ] || flags="HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT" characteristics=00000160
    check "DllCharacteristics $characteristics: $flags" [ "$(awk '/^DllCharacteristics/ { shown = 1;
        print $2; next } shown && /^\t\t/ { print $1; next } { shown = 0 }' <<<"$dump" | xargs)" = \
        "$characteristics $flags" ]
    check "stripped" grep -q "no symbols" < <("$objdump" -t "$exe")
    imports=$(imports_of "$exe")
    check "imports only system DLLs ($imports)" [ "$imports" = "$system_dlls" ]
    # A signature comes after the image, in the security directory.
    signature=$((16#$(sed -n 's/^Entry 4 [0-9a-f]* \([0-9a-f]*\) Security Directory$/\1/p' <<<"$dump")))
    size=$(($(stat -c %s "$exe") - signature))
    check "at most $size_limit bytes ($size bytes, and a signature of $signature)" [ "$size" -le "$size_limit" ]
}
