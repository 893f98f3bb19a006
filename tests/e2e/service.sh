# Service scenarios: the built service under Wine's service control manager, from start to stop,
# with companions that obey, ignore WM_QUIT, end by themselves, crash or cannot run.

service.start() {
    setup
    status=$(svc start Pelmorane)
    local returned
    returned=$(date +%s%3N) # on the wall clock, as the companion's record
    check "start reports running" has "$status" state=4 accepted=3 win32=0 specific=0x0 \
        checkpoint=0 hint=0
    # Had the child been launched first, the report would have waited out its second.
    local started
    started=$(await started | awk '{ print $1 }')
    check "the child starts after the running report" within "$started" $((returned - 500)) \
        $((returned + 5000))
    check "exactly one child runs" [ "$(companions)" = "$(child_started_last)" ]
}

service.restart() {
    setup
    start_service first-parameter second-parameter # start parameters change nothing
    restart_with 128
    restart_with 255
    check "the service still reports running" has "$(svc query Pelmorane)" state=4
}

service.report-only() {
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

service.pause() {
    setup
    start_service
    check "pause reports paused" has "$(svc control Pelmorane 2)" state=7
    check "pause leaves the child running" [ "$(companions)" = "$child" ]
    restart_with 128
    check "a restart while paused stays paused" has "$status" state=7
    check "interrogate reports paused" has "$(svc control Pelmorane 4)" state=7
    check "continue reports running" has "$(svc control Pelmorane 3)" state=4
}

service.stop() {
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

service.ignores-quit() {
    setup
    use_mode ignore
    start_service
    status=$(svc control Pelmorane 1)
    check "the child noted WM_QUIT and ran on" await "^[0-9]+ $child quit-ignored$" 1
    check "it is terminated about 1 s later" within "$(field ms "$status")" 950 5000
    check "no companion runs" no_companion
    check "the service reports stopped" has "$status" state=1 win32=0
}

service.ended-by-itself() {
    setup
    use_mode exit
    start_service
    check "the child ended by itself" await "^[0-9]+ $child exited$"
    check "no companion runs" no_companion
    use_mode obey
    local old=$child
    status=$(svc control Pelmorane 128)
    check "128 relaunches it" [ "$(companions)" = "$(child_started_last)" -a "$(child_started_last)" != "$old" ]
    check "after the grace period and the settling wait" within "$(field ms "$status")" 1900 6000
}

service.no-companion() {
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

service.stop-during-start() {
    setup
    local service_pid
    status=$(svc start Pelmorane)
    service_pid=$(field pid "$status")
    status=$(svc control Pelmorane 1) # while the launch's settling wait runs
    check "stop reports stopped" has "$status" state=1 win32=0 specific=0x0
    check "the child it waited for was stopped" await "^[0-9]+ $(child_started_last) quit$" 1
    check "no companion is left behind" no_companion
    check "the service process has exited" probe wait-exit "$service_pid" 10000
}

# The service process ended from outside, as by Task Manager or a crash: its child ends with it,
# without a quit message, and the next start of the service (here a reboot, as Windows'
# recovery would start it) launches exactly one child.
service.killed() {
    setup
    wine reg add "$service_key" /v Start /t REG_DWORD /d 2 /f >/dev/null # automatic start
    start_service
    local service_pid begin
    service_pid=$(field pid "$status")
    begin=$(now_ms)
    check "the service process is ended from outside" probe terminate "$service_pid"
    check "its child ends with it within 3 s" eventually 3 no_companion
    echo "the child outlived the service by $(($(now_ms) - begin)) ms at most"
    check "without a quit message" [ -z "$(events | grep " $child quit")" ]
    reboot_prefix # Wine reports a dead service running until then
    check "the next start launches one new child" eventually 30 runs_with_new_child
}

service.search-path() {
    setup
    rm "$service_dir/kiv.exe"
    # Where a bare "kiv.exe" would be found: the service's current directory (the Windows
    # directory), the system directory, and a directory on the system PATH.
    local windows=$WINEPREFIX/drive_c/windows path_dir=$WINEPREFIX/drive_c/tools place
    mkdir -p "$path_dir"
    for place in "$windows" "$windows/system32" "$path_dir"; do
        cp "$companion_exe" "$place/kiv.exe"
    done
    wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
        /v PATH /t REG_EXPAND_SZ /d 'C:\tools;%SystemRoot%\system32;%SystemRoot%' /f >/dev/null
    reboot_prefix # the system PATH is read when the prefix starts
    check "the prefix's programs have C:\tools first on their PATH" \
        eval '[[ $(windows_cmd "echo %PATH%" | sed -n 2p) == "C:\tools;"* ]]'

    check "start reports running" has "$(svc start Pelmorane)" state=4
    svc control Pelmorane 4 >/dev/null # answered once the start-up has tried its launch
    check "no kiv.exe from the search path was launched" no_companion
    check "none of them ran" [ -z "$(cat "$windows/kiv.log" "$windows/system32/kiv.log" \
        "$path_dir/kiv.log" 2>/dev/null)" ]
}

service.by-hand() {
    setup
    local begin code=0 output
    begin=$(now_ms)
    output=$(cd "$service_dir" && wine pelmorane.exe --install now 2>&1) || code=$?
    check "started by hand it says nothing" [ -z "$output" ]
    # Windows fails the dispatcher with 1063 at once; Wine gives 39 after about 10 s, which is
    # also all that Linux sees of 1063: its low 8 bits.
    check "and exits with the dispatcher's error ($code)" [ "$code" = 39 ]
    check "in bounded time" within $(($(now_ms) - begin)) 0 30000
    check "with no child" [ -z "$(events)" ]
}

service.crashing-companion() {
    setup
    use_mode crash
    check "start reports running" has "$(svc start Pelmorane)" state=4
    svc control Pelmorane 4 >/dev/null # waits for the launch and its settling wait
    check "the companion died" companions_ended
    check "having crashed" [ "$(events | grep -c 'crashing$')" = 1 ]
    answers_every_control companions_ended
    check "each launch crashed in turn" [ "$(events | grep -c 'crashing$')" = 3 ]
}

service.truncated-companion() {
    setup
    head -c 1024 "$companion_exe" >"$service_dir/kiv.exe" # "MZ" and its headers, nothing more
    check "start reports running" has "$(svc start Pelmorane)" state=4
    answers_every_control
    check "it never ran" [ -z "$(events)" ]
}
