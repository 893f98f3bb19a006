# Soak and race scenarios: the service under many requests, or requests that cross; each runs only
# with PELMORANE_SOAK=1 and is skipped otherwise.

# 200 restarts, over four services side by side, each in a prefix of its own: 50 each, in the same
# sequence. Code 128 and 255 alternate; the companion each restart stops ignores WM_QUIT, has ended
# by itself, or obeys, in turn; the last one launched obeys. Each service is checked over its share:
# a launch for each restart and exactly one companion, running, as many handles as before, and
# resident memory grown by at most 64 KiB: the 256 KiB allowed to 200 restarts, for a quarter of
# them, as a leak would grow. What is before is read after a first restart, whose code paths the
# start did not touch (Wine maps some 12 to 24 KiB for them, once).
restarts() {
    soak_only
    setup
    start_service
    local service_pid unix handles rss i code share=50 modes=(ignore exit obey)
    svc control Pelmorane 128 >/dev/null
    launched 2 || fail "the first restart launched no companion"
    service_pid=$(field pid "$status")
    unix=$(service_unix_pid)
    [ -n "$unix" ] || fail "the Linux process hosting the service was not found"
    handles=$(probe handles "$service_pid")
    rss=$(rss_kib "$unix")
    for ((i = 1; i <= share; i++)); do
        use_mode "${modes[i % 3]}"
        code=$((i % 2 ? 128 : 255))
        status=$(svc control Pelmorane $code)
        has "$status" state=4 || fail "restart $i (code $code)"
        launched $((i + 2)) || fail "restart $i (code $code) launched no companion"
        echo "$(field ms "$status")"
    done >"$work/restart-ms"
    echo "restart times: median $(sort -n "$work/restart-ms" | sed -n $((share / 2))p) ms," \
        "$(sort -n "$work/restart-ms" | sed -n '1p;$p' | paste -sd-) ms"
    check "$share restarts after the first: as many launches, and exactly one companion runs" \
        [ "$(events | grep -c ' started ')" = $((share + 2)) -a "$(companions)" = "$(child_started_last)" ]
    check "the service reports running" has "$(svc query Pelmorane)" state=4
    check "it holds as many handles as before ($handles)" [ "$(probe handles "$service_pid")" = "$handles" ]
    local grown=$(($(rss_kib "$unix") - rss))
    check "its resident memory grew by at most 64 KiB ($grown KiB from $rss KiB)" \
        within $grown -1000000 64
}

soak.restarts-1() {
    restarts
}

soak.restarts-2() {
    restarts
}

soak.restarts-3() {
    restarts
}

soak.restarts-4() {
    restarts
}

soak.start-stop() {
    soak_only
    setup
    local i service_pid
    for ((i = 1; i <= 30; i++)); do
        status=$(svc start Pelmorane)
        service_pid=$(field pid "$status")
        launched $i || fail "cycle $i: no companion was started"
        status=$(svc control Pelmorane 1)
        has "$status" state=1 || fail "cycle $i: the stop did not report stopped"
        probe wait-exit "$service_pid" 10000 || fail "cycle $i: the service process runs on"
        no_companion || fail "cycle $i: a companion survived"
    done
    check "30 cycles, each child stopped" [ "$(events | grep -c ' quit$')" = 30 ]
    check "the final status has both exit codes 0" has "$status" state=1 win32=0 specific=0x0
}

soak.stop-during-restart() {
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
        [ "$(events | grep -cE "^[0-9]+ ($old|$(child_started_last)) quit$")" = 2 ]
    check "no companion is left behind" no_companion
    check "the service process has exited" probe wait-exit "$service_pid" 10000
}

soak.pause-storm() {
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
        [ "$(companions)" = "$(child_started_last)" -a "$(events | grep -c started)" = 6 ]
}
