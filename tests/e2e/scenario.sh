#!/usr/bin/env bash
# Runs one end-to-end scenario of the built service under Wine's own service
# control manager, in a throw-away Wine prefix, and checks it from outside:
# the status the manager reports, how long each request took, the sample
# companion's own record (kiv.log beside it) and the process list.
#
#   scenario.sh prepare      creates the prefix that every scenario copies
#   scenario.sh format       checks the executable's format (needs no Wine)
#   scenario.sh <scenario>   runs one of the scenario_* functions below
#
# CTest sets E2E_DIR, SOURCE_DIR, SERVICE_EXE, SVCCTL_EXE, COMPANION_EXE,
# PROBE_EXE and PROJECT_VERSION. The soak-* scenarios run only with
# PELMORANE_SOAK=1; otherwise they exit 77, which CTest counts as skipped.
set -euo pipefail

name=$1
template=$E2E_DIR/template
step_cap=60 # seconds that any one Wine command may take
source "$SOURCE_DIR/scripts/wine-service.sh"

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

# has <status line> <key=value...>: every pair appears in svcctl's status line.
has() {
    local status=$1 pair
    shift
    for pair; do
        [[ " $status " == *" $pair "* ]] || { echo "  expected $pair in: $status" >&2 && return 1; }
    done
}

# eventually <seconds> <command...>: the command succeeds within that time.
eventually() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

no_companion() {
    [ -z "$(companions)" ]
}

# within <value> <low> <high>
within() {
    (($1 >= $2 && $1 <= $3)) || { echo "  $1 is not within $2..$3" >&2 && return 1; }
}

now_ms() {
    date +%s%3N
}

svc() {
    local out
    out=$(timeout $step_cap wine "$SVCCTL_EXE" "$@" | tr -d '\r') || fail "svcctl $*: $out"
    echo "$out"
}

probe() {
    timeout $step_cap wine "$PROBE_EXE" "$@" | tr -d '\r'
}

# The companion's record, a line an event: <Unix ms> <pid> <event...>.
events() {
    cat "$service_dir/kiv.log" 2>/dev/null || true
}

# await <pattern> [seconds]: waits for an event line matching the pattern, prints it.
await() {
    local deadline=$((SECONDS + ${2:-10}))
    until events | grep -E -- "$1"; do
        ((SECONDS < deadline)) || { echo "  no event like '$1' in:" >&2 && events >&2 && return 1; }
        sleep 0.1
    done
}

last_started() {
    events | awk '$3 == "started" { pid = $2 } END { print pid }'
}

# The running companions' process ids, on one line.
companions() {
    probe pids kiv.exe | sort -n | xargs
}

use_mode() {
    echo "$1" >"$service_dir/kiv.mode"
}

prepare() {
    export WINEPREFIX=$template
    rm -rf "$template"
    create_prefix
    # No crash debugger: a crashing companion ends at once (with no Debugger value at all, Wine
    # falls back to winedbg).
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d "" /f
    wineserver -w
}

soak_only() {
    [ "${PELMORANE_SOAK:-}" = 1 ] || { echo "soak scenario: runs with PELMORANE_SOAK=1" && exit 77; }
}

setup() {
    work=$E2E_DIR/$name
    rm -rf "$work"
    mkdir -p "$work"
    export WINEPREFIX=$work/prefix
    # Hard links keep the copy cheap; the registry files, which Wine rewrites, are copied.
    cp -al "$template" "$WINEPREFIX"
    rm "$WINEPREFIX"/*.reg
    cp "$template"/*.reg "$WINEPREFIX/"

    service_dir=$WINEPREFIX/drive_c/pelmorane
    mkdir -p "$service_dir"
    cp "$SERVICE_EXE" "$service_dir/pelmorane.exe"
    cp "$COMPANION_EXE" "$service_dir/kiv.exe"

    trap teardown EXIT
    # Wine ends a prefix soon after its last ordinary process; services do not count.
    wine "$SVCCTL_EXE" idle &
    svc create Pelmorane 'C:\pelmorane\pelmorane.exe' >/dev/null
}

# The Linux process that hosts the service.
service_unix_pid() {
    unix_pid 'C:\pelmorane\pelmorane.exe'
}

teardown() {
    local status=$?
    wineserver -k || true
    wait
    if [ $status -eq 0 ]; then
        rm -rf "$work"
    else
        echo "companion record:" >&2 && events >&2
        echo "the prefix is kept in $WINEPREFIX" >&2
    fi
}

# Starts the service and waits until its start-up has ended; sets `status` and `child`.
start_service() {
    status=$(svc start Pelmorane "$@")
    has "$status" state=4 || fail "the service did not report running"
    svc control Pelmorane 4 >/dev/null # waits for the launch and its settling wait
    child=$(last_started)
    [ -n "$child" ] || fail "no child was started"
}

# Restarts the child with `code`; checks the old one got WM_QUIT and a new one runs.
restart_with() {
    local code=$1 old=$child
    status=$(svc control Pelmorane "$code")
    child=$(last_started)
    check "$code restarts in about 2 s" within "$(field ms "$status")" 1900 6000
    check "$code sends the old child WM_QUIT" await "^[0-9]+ $old quit$" 1
    check "$code leaves the new child, alone, running" [ "$(companions)" = "$child" -a "$child" != "$old" ]
}

scenario_format() {
    local dump size imports
    dump=$(i686-w64-mingw32-objdump -p "$SERVICE_EXE")
    check "PE32" grep -qE "^Magic\s+010b\s+\(PE32\)" <<<"$dump"
    check "for i386" grep -q "file format pei-i386" <<<"$dump"
    check "console subsystem" grep -qE "^Subsystem\s+00000003" <<<"$dump"
    check "stripped" grep -q "no symbols" < <(i686-w64-mingw32-objdump -t "$SERVICE_EXE")
    imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | sort -f | xargs)
    check "imports only system DLLs ($imports)" \
        [ "$imports" = "ADVAPI32.dll KERNEL32.dll msvcrt.dll USER32.dll" ]
    size=$(stat -c %s "$SERVICE_EXE")
    check "at most 20 KiB ($size bytes)" [ "$size" -le 20480 ]
}

scenario_start() {
    setup
    status=$(svc start Pelmorane)
    local returned
    returned=$(now_ms)
    check "start reports running" has "$status" state=4 accepted=3 win32=0 specific=0x0 \
        checkpoint=0 hint=0
    # Had the child been launched first, the report would have waited out its second.
    local started
    started=$(await started | awk '{ print $1 }')
    check "the child starts after the running report" within "$started" $((returned - 500)) \
        $((returned + 5000))
    check "exactly one child runs" [ "$(companions)" = "$(last_started)" ]
}

scenario_restart() {
    setup
    start_service first-parameter second-parameter # start parameters change nothing
    restart_with 128
    restart_with 255
    check "the service still reports running" has "$(svc query Pelmorane)" state=4
}

scenario_report-only() {
    setup
    start_service
    local code
    for code in 129 254 4 3; do
        status=$(svc control Pelmorane $code)
        check "$code only reports, at once" within "$(field ms "$status")" 0 500
        check "$code leaves the state running" has "$status" state=4
    done
    check "the child was not touched" [ "$(companions)" = "$child" -a "$(events | wc -l)" = 1 ]
}

scenario_pause() {
    setup
    start_service
    check "pause reports paused" has "$(svc control Pelmorane 2)" state=7
    check "pause leaves the child running" [ "$(companions)" = "$child" ]
    restart_with 128
    check "a restart while paused stays paused" has "$status" state=7
    check "interrogate reports paused" has "$(svc control Pelmorane 4)" state=7
    check "continue reports running" has "$(svc control Pelmorane 3)" state=4
}

scenario_stop() {
    setup
    start_service
    local service_pid
    service_pid=$(field pid "$status")
    status=$(svc control Pelmorane 1)
    check "stop reports stopped with exit codes 0" has "$status" state=1 win32=0 specific=0x0
    check "stop takes about 1 s" within "$(field ms "$status")" 900 5000
    check "the child received WM_QUIT and is gone" await "^[0-9]+ $child quit$" 1
    check "no companion runs" no_companion
    check "the service process has exited" probe wait-exit "$service_pid" 10000
    check "the service can be deleted" svc delete Pelmorane
}

scenario_ignores-quit() {
    setup
    use_mode ignore
    start_service
    status=$(svc control Pelmorane 1)
    check "the child noted WM_QUIT and ran on" await "^[0-9]+ $child quit-ignored$" 1
    check "it is terminated about 1 s later" within "$(field ms "$status")" 950 5000
    check "no companion runs" no_companion
    check "the service reports stopped" has "$status" state=1 win32=0
}

scenario_ended-by-itself() {
    setup
    use_mode exit
    start_service
    check "the child ended by itself" await "^[0-9]+ $child exited$"
    check "no companion runs" no_companion
    use_mode obey
    local old=$child
    status=$(svc control Pelmorane 128)
    check "128 relaunches it" [ "$(companions)" = "$(last_started)" -a "$(last_started)" != "$old" ]
    check "after the grace period and the settling wait" within "$(field ms "$status")" 1900 6000
}

scenario_no-companion() {
    setup
    rm "$service_dir/kiv.exe"
    status=$(svc start Pelmorane)
    check "start without kiv.exe reports running" has "$status" state=4
    sleep 1.5
    check "the service runs on with no child" has "$(svc query Pelmorane)" state=4
    status=$(svc control Pelmorane 1)
    check "stop reports stopped at once" has "$status" state=1 win32=0
    check "with no wait" within "$(field ms "$status")" 0 500
}

scenario_stop-during-start() {
    setup
    local service_pid
    status=$(svc start Pelmorane)
    service_pid=$(field pid "$status")
    status=$(svc control Pelmorane 1) # while the launch's settling wait runs
    check "stop reports stopped" has "$status" state=1 win32=0 specific=0x0
    check "the child it waited for was stopped" await "^[0-9]+ $(last_started) quit$" 1
    check "no companion is left behind" no_companion
    check "the service process has exited" probe wait-exit "$service_pid" 10000
}

scenario_search-path() {
    setup
    rm "$service_dir/kiv.exe"
    # Where a bare "kiv.exe" would be found: the service's current directory (the Windows
    # directory), the system directory, and a directory on the system PATH.
    local windows=$WINEPREFIX/drive_c/windows path_dir=$WINEPREFIX/drive_c/tools place
    mkdir -p "$path_dir"
    for place in "$windows" "$windows/system32" "$path_dir"; do
        cp "$COMPANION_EXE" "$place/kiv.exe"
    done
    wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
        /v PATH /t REG_EXPAND_SZ /d 'C:\tools;%SystemRoot%\system32;%SystemRoot%' /f >/dev/null
    wineserver -k && wait # the system PATH is read when the prefix starts
    wine "$SVCCTL_EXE" idle &

    check "start reports running" has "$(svc start Pelmorane)" state=4
    sleep 2
    check "no kiv.exe from the search path was launched" no_companion
    check "none of them ran" [ -z "$(cat "$windows/kiv.log" "$windows/system32/kiv.log" \
        "$path_dir/kiv.log" 2>/dev/null)" ]
}

scenario_by-hand() {
    setup
    local begin code=0 output
    begin=$(now_ms)
    output=$(cd "$service_dir" && wine pelmorane.exe --install now 2>&1) || code=$?
    check "started by hand it says nothing" [ -z "$output" ]
    # Windows fails the dispatcher with 1063 at once; Wine gives 39 after about 10 s.
    check "and exits with the dispatcher's error ($code)" [ "$code" -ne 0 ]
    check "in bounded time" within $(($(now_ms) - begin)) 0 30000
    check "with no child" [ -z "$(events)" ]
}

scenario_version() {
    setup
    local info revision
    info=$(probe version "$SERVICE_EXE")
    check "file OS VOS_NT_WINDOWS32, file type VFT_APP" \
        grep -qx "signature=0xfeef04bd fileos=0x40004 filetype=0x1" <<<"$info"
    check "one string table, block 040904e4" \
        [ "$(grep -E '^2 ' <<<"$info" | xargs)" = "2 040904e4 2 Translation" ]
    check "its keys in order" [ "$(sed -n 's/^3 //p' <<<"$info" | paste -sd,)" = \
        "CompanyName,FileDescription,Web Site,E-Mail,FileVersion,ProductVersion,LegalCopyright,SVN Revision,SVN Revision Date" ]
    check "translation 0x0409, 1252" grep -qx "translation=0409,1252" <<<"$info"
    check "FileVersion and ProductVersion $PROJECT_VERSION" \
        grep -qx "value FileVersion=$PROJECT_VERSION" <<<"$info"
    grep -qx "value ProductVersion=$PROJECT_VERSION" <<<"$info"
    revision=$(git -C "$SOURCE_DIR" rev-parse --short=12 HEAD 2>/dev/null || echo unknown)
    check "SVN Revision names the commit ($revision)" \
        grep -qE "^value SVN Revision=$revision(-modified)?$" <<<"$info"
    check "every value is set" [ "$(grep -cE '^value [^=]+=.' <<<"$info")" = 9 ]
}

# Sends every kind of request to a service whose companion cannot run, then stops it.
answers_every_control() {
    local service_pid request expected
    service_pid=$(field pid "$(svc query Pelmorane)")
    for request in 4:4 2:7 128:7 3:4 129:4 255:4; do
        expected=${request#*:}
        check "${request%:*} is answered" has "$(svc control Pelmorane "${request%:*}")" \
            state="$expected"
    done
    status=$(svc control Pelmorane 1)
    check "stop reports stopped with exit codes 0" has "$status" state=1 win32=0 specific=0x0
    check "the service process has exited" probe wait-exit "$service_pid" 10000
}

scenario_crashing-companion() {
    setup
    use_mode crash
    check "start reports running" has "$(svc start Pelmorane)" state=4
    await "crashing$" >/dev/null
    check "the companion died" eventually 10 no_companion
    answers_every_control
    check "each launch crashed in turn" [ "$(events | grep -c crashing)" = 3 ]
}

scenario_truncated-companion() {
    setup
    head -c 1024 "$COMPANION_EXE" >"$service_dir/kiv.exe" # "MZ" and its headers, nothing more
    check "start reports running" has "$(svc start Pelmorane)" state=4
    answers_every_control
    check "it never ran" [ -z "$(events)" ]
}

scenario_soak-restarts() {
    soak_only
    setup
    start_service
    local service_pid unix handles rss i code modes=(ignore exit obey)
    service_pid=$(field pid "$status")
    unix=$(service_unix_pid)
    [ -n "$unix" ] || fail "the Linux process hosting the service was not found"
    handles=$(probe handles "$service_pid")
    rss=$(rss_kib "$unix")
    # Alternate 128 and 255; the companion each restart stops ignores WM_QUIT, has ended by
    # itself, or obeys, in turn; the last one launched obeys.
    for ((i = 1; i <= 200; i++)); do
        use_mode "${modes[i % 3]}"
        code=$((i % 2 ? 128 : 255))
        status=$(svc control Pelmorane $code)
        has "$status" state=4 || fail "restart $i (code $code)"
    done
    check "200 restarts: exactly one companion runs" [ "$(companions)" = "$(last_started)" ]
    check "the service reports running" has "$(svc query Pelmorane)" state=4
    check "it holds as many handles as before ($handles)" [ "$(probe handles "$service_pid")" = "$handles" ]
    local grown=$(($(rss_kib "$unix") - rss))
    check "its resident memory grew by at most 256 KiB ($grown KiB from $rss KiB)" \
        within $grown -1000000 256
}

scenario_soak-start-stop() {
    soak_only
    setup
    local i service_pid
    for ((i = 1; i <= 30; i++)); do
        status=$(svc start Pelmorane)
        service_pid=$(field pid "$status")
        status=$(svc control Pelmorane 1)
        has "$status" state=1 || fail "cycle $i: the stop did not report stopped"
        probe wait-exit "$service_pid" 10000 || fail "cycle $i: the service process runs on"
        no_companion || fail "cycle $i: a companion survived"
    done
    check "30 cycles, each child stopped" [ "$(events | grep -c ' quit$')" = 30 ]
    check "the final status has both exit codes 0" has "$status" state=1 win32=0 specific=0x0
}

scenario_soak-stop-during-restart() {
    soak_only
    setup
    start_service
    local service_pid old=$child restart
    service_pid=$(field pid "$status")
    svc control Pelmorane 128 >"$work/restart" &
    restart=$!
    sleep 0.5
    status=$(svc control Pelmorane 1) # waits for the restart in progress
    wait $restart
    check "the restart completed and reported running" has "$(cat "$work/restart")" state=4
    check "the stop followed it and reported stopped" has "$status" state=1 win32=0
    check "both children received WM_QUIT" \
        [ "$(events | grep -cE "^[0-9]+ ($old|$(last_started)) quit$")" = 2 ]
    check "no companion is left behind" no_companion
    check "the service process has exited" probe wait-exit "$service_pid" 10000
}

scenario_soak-pause-storm() {
    soak_only
    setup
    start_service
    local i restarts
    # Restarts on a second client while pause and continue storm in.
    (for ((i = 1; i <= 5; i++)); do svc control Pelmorane 128; done) >"$work/restarts" &
    restarts=$!
    for ((i = 1; i <= 100; i++)); do
        has "$(svc control Pelmorane 2)" state=7 || fail "pause $i"
        has "$(svc control Pelmorane 3)" state=4 || fail "continue $i"
    done
    wait $restarts
    check "100 pauses and continues answered; the 5 restarts each reported a state" \
        [ "$(grep -cE 'state=(4|7) ' "$work/restarts")" = 5 ]
    check "the service reports running" has "$(svc query Pelmorane)" state=4
    check "exactly one companion runs, the sixth" \
        [ "$(companions)" = "$(last_started)" -a "$(events | grep -c started)" = 6 ]
}

case $name in
prepare) prepare ;;
*) "scenario_$name" ;;
esac
