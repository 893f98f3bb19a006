# The shell library for running the service under Wine, shared by the demo, the
# benchmark and the end-to-end scenarios: which build Wine runs here, where that
# build's programs are, and the commands that drive the service. Source it, then
# call choose_build (or use_build <build>); WINEPREFIX is the caller's to set.
#
# There are two builds: win32 (dist/pelmorane.exe, the product) and win64
# (dist/x64/pelmorane.exe). Wine runs the 32-bit one with its 32-bit loader,
# which some kernels cannot execute (no IA-32 emulation: "Exec format error",
# exit 126); there only the 64-bit loader runs, in a 64-bit prefix. So each
# build has a prefix of its own: Wine refuses a 32-bit prefix under the 64-bit
# loader. PELMORANE_ARCH=win32|win64 forces the choice.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=

wine32_loader=/usr/lib/wine/wine # a test points it elsewhere
wine64_loader=/usr/lib/wine/wine64
step_cap=60 # seconds that any one command of svcctl or probe may take

die() {
    echo "$(basename "$0" .sh): $*" >&2
    exit 1
}

# loader_runs <loader> <its package>: whether Wine's loader runs on this host; if not, says why
# in `why_not`.
loader_runs() {
    local code=0 error
    [ -x "$1" ] || { why_not="$1 is not installed (package $2)" && return 1; }
    error=$("$1" --version 2>&1 >/dev/null) || code=$?
    [ $code -ne 0 ] || return 0
    why_not="$1 --version exits with $code${error:+: ${error##*: }}"
    return 1
}

# can_run <build>: whether Wine runs that build here; if not, says why in `why_not`.
can_run() {
    case $1 in
    win32)
        [ "${PELMORANE_ARCH:-}" != win64 ] || { why_not="PELMORANE_ARCH=win64" && return 1; }
        loader_runs "$wine32_loader" wine32:i386
        ;;
    win64) loader_runs "$wine64_loader" wine64 ;;
    *) why_not="there is no build '$1': win32 or win64" && return 1 ;;
    esac
}

# choose_build: the build that Wine runs here, in `build`, and why, in `build_reason`. The
# 32-bit product where 32-bit Wine runs, the 64-bit build where it cannot, or as forced.
choose_build() {
    case ${PELMORANE_ARCH:-} in
    win32 | win64)
        can_run "$PELMORANE_ARCH" || die "PELMORANE_ARCH=$PELMORANE_ARCH, but $why_not"
        build=$PELMORANE_ARCH build_reason="PELMORANE_ARCH=$PELMORANE_ARCH forces it"
        ;;
    "")
        if can_run win32; then
            build=win32 build_reason="32-bit Wine runs here"
        else
            build=win64 build_reason="32-bit Wine cannot run here: $why_not"
            can_run win64 || die "Wine cannot run here at all: $why_not"
        fi
        ;;
    *) die "PELMORANE_ARCH is '$PELMORANE_ARCH'; it can be win32 or win64" ;;
    esac
}

bits_of() {
    [ "$1" = win64 ] && echo 64 || echo 32
}

service_exe_of() {
    [ "$1" = win64 ] && echo "$root/dist/x64/pelmorane.exe" || echo "$root/dist/pelmorane.exe"
}

# companion_exe_of <build>: that build's sample companion.
companion_exe_of() {
    echo "$root/build/$1/tools/kiv.exe"
}

# name_build <build>: names that build's service and programs.
name_build() {
    build=$1
    service_exe=$(service_exe_of "$build")
    svcctl_exe=$root/build/$build/tools/svcctl.exe
    probe_exe=$root/build/$build/tools/probe.exe
    companion_exe=$(companion_exe_of "$build")
    bench_programs=$root/build/$build/bench
}

# use_build <build>: runs Wine for that build from here on, and names its programs. Fails,
# saying why, where Wine cannot run it.
use_build() {
    can_run "$1" || die "Wine cannot run the $(bits_of "$1")-bit build here: $why_not"
    name_build "$1"
    if [ "$build" = win64 ]; then
        export WINEARCH=win64 WINELOADER=$wine64_loader
    else
        export WINEARCH=win32 WINELOADER=$wine32_loader
    fi
}

# announce <what runs> [<why>]: the one line that says which build runs, and why.
announce() {
    local exe
    exe=$(service_exe_of "$build")
    echo "$(basename "$0" .sh): $1 the $(bits_of "$build")-bit build, ${exe#"$root"/}," \
        "since ${2:-$build_reason}"
}

# kept_prefix <what it does> <name>: chooses the build, saying which and why, and runs Wine for it
# in build/<name>/<build>/prefix, a prefix that the demo or the benchmark keeps between runs.
kept_prefix() {
    choose_build
    announce "$1"
    use_build "$build"
    export WINEPREFIX=$root/build/$2/$build/prefix
}

# The loader of the build in use; Debian's own `wine` would take the 32-bit one wherever it
# is installed.
wine() {
    "$WINELOADER" "$@"
}

# Waits until the prefix's server has ended, having written the registry out; step_cap at most.
server_ended() {
    timeout $step_cap wineserver -w ||
        die "wineserver -w: the server of $WINEPREFIX had not ended after $step_cap s (exit $?)"
}

# Creates the prefix $WINEPREFIX, and returns once Wine has written it out; where it has not,
# fails, saying what wineboot said.
create_prefix() {
    local said
    mkdir -p "$(dirname "$WINEPREFIX")"
    said=$(wine wineboot --init 2>&1) || die "wineboot --init failed with $? in $WINEPREFIX: $said"
    server_ended
    [ -s "$WINEPREFIX/system.reg" ] && [ -d "$WINEPREFIX/drive_c/windows/system32" ] ||
        die "wineboot wrote no prefix in $WINEPREFIX${said:+: $said}"
}

# Keeps the prefix up: Wine ends it soon after its last ordinary process, and services do
# not count. In a session of its own, so that a Ctrl+C reaches only the caller.
keep_prefix_up() {
    setsid "$WINELOADER" "$svcctl_exe" idle >/dev/null &
    prefix_keeper=$!
}

# Ends every process of the prefix and waits for the caller's background jobs. The keeper, had it
# not yet reached the prefix's server when that ended, would wait for it for ever.
shut_down_prefix() {
    wineserver -k 2>/dev/null || true
    [ -z "${prefix_keeper:-}" ] || kill "$prefix_keeper" 2>/dev/null || true
    wait
}

# run_tool <exe> <arguments...>: runs one of our Windows tools (svcctl, probe) under the build's
# loader, capped at step_cap; prints its answer without carriage returns and returns the exit code
# that the tool gave. Each tool writes "begin <tool>" before it acts and "end <exit code>" once it
# has answered (tools/answer.h), and nothing else prints such lines, so that:
# - a tool that printed nothing at all never started (Wine's loader failed): it is run once more,
#   saying so;
# - anything printed means that something ran, which may have acted: a control, a termination or a
#   wait is never repeated. What is not one whole answer, from "begin <tool>" to its "end" and no
#   more, fails, saying what was printed and how the loader ended: the tool killed at the cap or
#   crashed, a byte before its first line, a build without these lines, two answers in one;
# - with its whole answer, the tool's own exit code stands, however Wine's loader then ended on the
#   Linux side (it can die after the answer: glibc's "Inconsistency detected by ld.so" at exit).
run_tool() {
    local tool command=${*:2} out code attempt body last
    tool=$(basename "$1" .exe)
    for attempt in first second; do
        code=0
        out=$(timeout $step_cap "$WINELOADER" "$@") || code=$?
        out=${out//$'\r'/}
        [ -z "$out" ] || break
        echo "$tool $command: Wine's loader ended with $code, printing nothing: $tool never started" >&2
        [ $attempt = first ] || return 1
        echo "$tool $command: once more" >&2
    done
    body=${out#"begin $tool"$'\n'} last=${out##*$'\n'}
    if [ "${out%%$'\n'*}" != "begin $tool" ] || [[ ! $last =~ ^end\ ([0-9]+)$ ]] ||
        grep -qxE "begin $tool|end [0-9]+" <<<"${body%"$last"}"; then
        echo "$tool $command: Wine's loader ended with $code without one whole answer from $tool," \
            "having printed: $out" >&2
        return 1
    fi
    ((code == BASH_REMATCH[1])) ||
        echo "$tool $command: Wine's loader ended with $code after $tool answered" >&2
    code=${BASH_REMATCH[1]}
    body=${body%"$last"} body=${body%$'\n'}
    [ -z "$body" ] || echo "$body"
    return $((code > 255 ? 1 : code)) # our tools end with 0, 1 or 2
}

# svc <svcctl arguments...>: prints svcctl's answer; on failure says so and returns 1.
svc() {
    local out code=0
    out=$(run_tool "$svcctl_exe" "$@") || code=$?
    if [ $code -ne 0 ]; then
        [ -z "$out" ] || echo "svcctl $*: $out" >&2 # with none, run_tool has said why
        return 1
    fi
    [ -z "$out" ] || echo "$out"
}

# probe <probe arguments...>: prints the probe's answer and returns its exit code.
probe() {
    run_tool "$probe_exe" "$@"
}

# field <key> <status line of svcctl>: the value of <key>=value in the line; where it has none,
# fails, saying so, so that a value read to compare with later is never silently empty.
field() {
    local pair
    for pair in $2; do
        [ "${pair%%=*}" != "$1" ] || { echo "${pair#*=}" && return 0; }
    done
    echo "  no $1= in: ${2:-nothing}" >&2
    return 1
}

# last_started <kiv.log>: the process id of the last companion started, from its record.
last_started() {
    awk '$3 == "started" { pid = $2 } END { print pid }' "$1" 2>/dev/null || true
}

# imports_of <exe>: the DLLs it imports, sorted, on one line.
imports_of() {
    "$root/tools/pe-imports.sh" "$1" | xargs
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
