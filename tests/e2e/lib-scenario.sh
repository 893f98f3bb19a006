# The scenarios' shared library: svcctl's status, the sample companion's record, a throw-away
# copy of the prepared prefix with the service registered in it, Wine's cmd, and the requests that
# several scenarios send. The runner (run.sh) sources it.
source "$(dirname "${BASH_SOURCE[0]}")/../test-lib.sh"

# has <status line> <key=value...>: every pair appears in svcctl's status line.
has() {
    local status=$1 pair
    shift
    for pair; do
        [[ " $status " == *" $pair "* ]] || { echo "  expected $pair in: $status" >&2 && return 1; }
    done
}

# The companion's record, a line an event: <Unix ms> <pid> <event...>.
events() {
    cat "$service_dir/kiv.log" 2>/dev/null || true
}

# await <pattern> [seconds] [lines]: waits until that many event lines (one unless told) match the
# pattern, prints them.
await() {
    local deadline=$(($(now_ms) + ${2:-10} * 1000))
    until [ "$(events | grep -cE -- "$1")" -ge "${3:-1}" ]; do
        (($(now_ms) < deadline)) || { echo "  no ${3:-1} events like '$1' in:" >&2 && events >&2 && return 1; }
        sleep 0.1
    done
    events | grep -E -- "$1"
}

# launched <n>: waits until the companion has recorded its nth start. Where the cores are shared,
# a companion may reach its first line only after the service's settling second, and a request
# sent before then would find it without its message queue.
launched() {
    await ' started ' $step_cap "$1" >/dev/null
}

child_started_last() {
    last_started "$service_dir/kiv.log"
}


# count_of <exe name>: how many processes of that name run, by the probe's count; "unknown" where
# it gave no answer.
count_of() {
    local answer
    answer=$(probe pids "$1") && field count "${answer%%$'\n'*}" || { echo unknown && return 1; }
}

# The running companions' process ids, on one line, as the probe answers them; "unknown" where it
# gave no answer, which no comparison takes for an id or for none.
companions() {
    local answer
    answer=$(probe pids kiv.exe) || { echo unknown && return 1; }
    sed 1d <<<"$answer" | sort -n | xargs
}

no_companion() {
    [ "$(count_of kiv.exe)" = 0 ]
}

use_mode() {
    echo "$1" >"$service_dir/kiv.mode"
}

# A working folder of the scenario's own, kept if it fails.
make_work() {
    work=$E2E_DIR/$name
    rm -rf "$work"
    mkdir -p "$work"
    trap teardown EXIT
}

# The prefix that every scenario copies, with no crash debugger: a crashing companion ends at
# once (with no Debugger value at all, Wine falls back to winedbg).
prepare_template() {
    export WINEPREFIX=$E2E_DIR/template
    rm -rf "$WINEPREFIX"
    create_prefix
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d "" /f
    server_ended
    sed -n '/^\[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\AeDebug\]/,/^$/p' \
        "$WINEPREFIX/system.reg" | grep -qx '"Debugger"=""' || fail "the prefix has no empty Debugger"
}

# A copy of the prepared prefix, kept up while the scenario runs.
copy_prefix() {
    make_work
    export WINEPREFIX=$work/prefix
    # Hard links keep the copy cheap; the registry files, which Wine rewrites, are copied.
    cp -al "$E2E_DIR/template" "$WINEPREFIX"
    rm "$WINEPREFIX"/*.reg
    cp "$E2E_DIR/template"/*.reg "$WINEPREFIX/"
    keep_prefix_up
}

# A copy of the prepared prefix with the service and the companion in C:\pelmorane, registered
# as the service "Pelmorane".
setup() {
    copy_prefix
    service_dir=$WINEPREFIX/drive_c/pelmorane
    mkdir -p "$service_dir"
    cp "$service_exe" "$service_dir/pelmorane.exe"
    cp "$companion_exe" "$service_dir/kiv.exe"
    svc create Pelmorane 'C:\pelmorane\pelmorane.exe' >/dev/null
}

# Ends the prefix, and keeps the work folder of a scenario that failed. A prefix whose keeper had
# ended may have shut down in a pause, ending the service without a stop, and started afresh for
# the next step: what the scenario saw then proves nothing, so it fails.
teardown() {
    local status=$?
    if [ $status -eq 0 ] && [ -n "${prefix_keeper:-}" ] && ! kill -0 "$prefix_keeper" 2>/dev/null; then
        echo "FAIL: the prefix's keeper (process $prefix_keeper) had ended before the scenario did" >&2
        status=1
    fi
    [ -z "${WINEPREFIX:-}" ] || shut_down_prefix
    if [ $status -eq 0 ]; then
        rm -rf "$work"
    else
        [ -z "${service_dir:-}" ] || { echo "companion record:" && events; } >&2
        echo "the work folder is kept: $work" >&2
    fi
    exit $status
}

soak_only() {
    [ "${PELMORANE_SOAK:-}" = 1 ] || { echo "soak scenario: runs with PELMORANE_SOAK=1" && exit 77; }
}

# windows_cmd <command line>: runs it from a batch file with Wine's cmd in the work folder, and
# answers as svcctl does: a line "exit=<its whole exit code> ms=<how long it took>" (Wine hands
# Linux only the low 8 bits: 1603 would arrive as 67), then what it printed. The exit code is
# cmd's last line, which the batch file prints once the command has ended; without it, it fails.
windows_cmd() {
    local begin output code=0 last
    begin=$(now_ms)
    printf '@%s\r\n@echo exit=%%ERRORLEVEL%%\r\n' "$1" >"$work/step.bat"
    output=$(cd "$work" && timeout $step_cap "$WINELOADER" cmd /c step.bat | tr -d '\r') || code=$?
    last=${output##*$'\n'}
    [[ $last =~ ^exit=-?[0-9]+$ ]] ||
        { echo "no exit code from $1 (cmd: $code after $(($(now_ms) - begin)) ms): $output" >&2 && return 1; }
    echo "$last ms=$(($(now_ms) - begin))"
    echo -n "${output%"$last"}"
}

# exit_of <answer of windows_cmd>: the exit code in its first line.
exit_of() {
    field exit "${1%%$'\n'*}"
}

# is_built_exe <exe>: whether it is this build's executable as built, once any signature is taken
# off: a signed release signs what it ships, and dist/ keeps the executables as built.
is_built_exe() {
    local unsigned=$work/unsigned.exe
    osslsigncode remove-signature -in "$1" -out "$unsigned" >/dev/null 2>&1 || cp "$1" "$unsigned"
    cmp "$unsigned" "$service_exe"
}

# The package of the build under test: x86 or x64.
package_arch() {
    [ "$BUILD" = win64 ] && echo x64 || echo x86
}

# The version that the package scenarios upgrade to, and the folder of its release: the next
# version's, made by scripts/release.sh --version <next> --companion <kiv.exe>, or
# PELMORANE_LATER_RELEASE.
later_version() {
    "$root/packaging/version.sh" --next
}

later_release() {
    echo "${PELMORANE_LATER_RELEASE:-$root/build/release-$(later_version)/dist}"
}

# table <package> <table>: its rows, without the three header lines.
table() {
    msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4
}

service_key='HKLM\System\CurrentControlSet\Services\Pelmorane'

# reg_value <key> <value name> [/reg:32|/reg:64]: the data of a registry value; nothing, and
# what reg said, where it has none, so that the check that reads it fails saying so.
reg_value() {
    local answer
    answer=$(wine reg query "$1" /v "$2" ${3:+"$3"} 2>&1) || { echo "  reg query $1 /v $2: $answer" >&2 && return 0; }
    tr -d '\r' <<<"$answer" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

# key_missing <answer of windows_cmd for reg query ... 2>&1>: reg ended with 1, saying that there
# is no such key.
key_missing() {
    [ "$(exit_of "$1")" = 1 ] && grep -q 'Unable to find the specified registry key' <<<"$1"
}

# no_key <key> [/reg:32|/reg:64]: whether reg, having run, answers that there is no such key.
no_key() {
    local answer
    answer=$(windows_cmd "reg query $1 ${2:-} 2>&1") && key_missing "$answer" ||
        { echo "  no key $1 expected: ${answer:-no answer}" >&2 && return 1; }
}

# Whether svcctl, having run, answers that there is no service Pelmorane.
no_service() {
    local answer
    answer=$(run_tool "$svcctl_exe" query Pelmorane) || true
    [ "$answer" = error=1060 ] || { echo "  no service (error=1060) expected: ${answer:-no answer}" >&2 && return 1; }
}

# Shuts the prefix down and boots it again: Wine's services.exe starts the automatic services.
reboot_prefix() {
    shut_down_prefix
    keep_prefix_up
}

# Whether the service runs with one child, launched since `child`.
runs_with_new_child() {
    has "$(svc query Pelmorane 2>/dev/null)" state=4 2>/dev/null &&
        [ "$(child_started_last)" != "$child" ] && [ "$(companions)" = "$(child_started_last)" ]
}

# The Linux process that hosts the service.
service_unix_pid() {
    unix_pid 'C:\pelmorane\pelmorane.exe'
}

# Starts the service and waits until its start-up has ended; sets `status` and `child`.
start_service() {
    local launches
    launches=$(events | grep -c ' started ') || true # none yet
    status=$(svc start Pelmorane "$@")
    has "$status" state=4 || fail "the service did not report running"
    svc control Pelmorane 4 >/dev/null # waits for the launch and its settling wait
    launched $((launches + 1)) || fail "no child was started"
    child=$(child_started_last)
}

# Restarts the child with `code`; checks the old one got WM_QUIT and a new one runs.
restart_with() {
    local code=$1 old=$child launches
    launches=$(events | grep -c ' started ')
    status=$(svc control Pelmorane "$code")
    check "$code restarts in about 2 s" within "$(field ms "$status")" 1900 6000
    check "$code launches one child" launched $((launches + 1))
    child=$(child_started_last)
    check "$code sends the old child WM_QUIT" await "^[0-9]+ $old quit$" 1
    check "$code leaves the new child, alone, running" [ "$(companions)" = "$child" -a "$child" != "$old" \
        -a "$(events | grep -c ' started ')" = $((launches + 1)) ]
}

# Waits until every running companion has ended: a companion that crashes may take long to
# reach its crash while its start-up competes with other prefixes.
companions_ended() {
    local pids pid
    pids=$(companions) || return 1
    for pid in $pids; do
        probe wait-exit "$pid" $((step_cap * 1000 - 5000)) || return 1
    done
}

# answers_every_control [<command after each request>]: sends every kind of request to a service
# whose companion cannot run, then stops it.
answers_every_control() {
    local service_pid request expected
    service_pid=$(field pid "$(svc query Pelmorane)")
    for request in 4:4 2:7 128:7 3:4 129:4 255:4; do
        expected=${request#*:}
        check "${request%:*} is answered" has "$(svc control Pelmorane "${request%:*}")" \
            state="$expected"
        "${@:-true}"
    done
    status=$(svc control Pelmorane 1)
    check "stop reports stopped with exit codes 0" has "$status" state=1 win32=0 specific=0x0
    check "the service process has exited" probe wait-exit "$service_pid" 10000
}
