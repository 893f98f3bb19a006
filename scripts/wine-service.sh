# Shell functions for running the service in a Wine prefix, shared by the
# demo, the end-to-end scenarios and the benchmark. Source it; WINEPREFIX is
# the caller's to set.

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win32 DISPLAY=

# field <key> <status line of svcctl>: the value of <key>=value in the line.
field() {
    local pair
    for pair in $2; do
        [ "${pair%%=*}" = "$1" ] && echo "${pair#*=}"
    done
    return 0
}

# Creates the prefix $WINEPREFIX, and returns once Wine has written it out.
create_prefix() {
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot --init 2>/dev/null
    wineserver -w
}

# unix_pid <Windows path of an exe>: the Linux process that Wine runs it in, in
# this prefix. Wine writes the Windows path over the process's first argument.
unix_pid() {
    local proc
    for proc in /proc/[0-9]*; do
        [ "$(tr '\0' '\n' 2>/dev/null <"$proc/cmdline" | head -n 1)" = "$1" ] || continue
        tr '\0' '\n' 2>/dev/null <"$proc/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            echo "${proc#/proc/}"
    done
    return 0
}

# Resident memory in KiB, and CPU time (user and system) in clock ticks, of a
# Linux process.
rss_kib() {
    awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"
}

cpu_ticks() {
    sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'
}
