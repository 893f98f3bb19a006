#!/usr/bin/env bash
# Runs one end-to-end scenario of a built service under Wine's own service
# control manager, in a throw-away Wine prefix, and checks it from outside:
# the status the manager reports, how long each request took, the sample
# companion's own record (kiv.log beside it) and the process list.
#
#   scenario.sh prepare       creates the prefix that every e2e.* and soak.* scenario copies
#   scenario.sh <kind.name>   runs the function of that name below:
#     exe.*   checks of the executable and of the choice of build; no prepared prefix
#     e2e.*   the service under Wine
#     soak.*  the same for long, only with PELMORANE_SOAK=1 (otherwise exit 77: skipped)
#
# CTest finds the scenarios here by their kind, and sets E2E_DIR, BUILD (win32 or
# win64: the build under test) and PROJECT_VERSION.
set -euo pipefail

name=$1
source "$(dirname "$0")/helpers.sh"

exe.format() {
    local dump size imports
    name_build "$BUILD"
    announce "checks" "it is a test of the $BUILD preset"
    dump=$("$objdump" -p "$service_exe")
    if [ "$BUILD" = win64 ]; then
        check "PE32+" grep -qE "^Magic\s+020b\s+\(PE32\+\)" <<<"$dump"
        check "for x86-64" grep -q "file format pei-x86-64" <<<"$dump"
    else
        check "PE32" grep -qE "^Magic\s+010b\s+\(PE32\)" <<<"$dump"
        check "for i386" grep -q "file format pei-i386" <<<"$dump"
    fi
    check "console subsystem" grep -qE "^Subsystem\s+00000003" <<<"$dump"
    check "stripped" grep -q "no symbols" < <("$objdump" -t "$service_exe")
    imports=$(imports_of "$service_exe")
    check "imports only system DLLs ($imports)" [ "$imports" = "$system_dlls" ]
    size=$(stat -c %s "$service_exe")
    check "at most $size_limit bytes ($size bytes)" [ "$size" -le "$size_limit" ]
}

# The version resource as stored, read by the build's own probe, or where Wine cannot run that
# build here, by the probe of the build that it runs.
exe.version() {
    local exe info revision reader=$BUILD reason="it is a test of the $BUILD preset"
    exe=$(service_exe_of "$BUILD")
    if ! can_run "$BUILD"; then
        reason="Wine cannot run the $BUILD build here ($why_not)"
        choose_build
        reader=$build
    fi
    use_build "$reader"
    announce "reads ${exe#"$root"/} with the probe of" "$reason"
    make_work
    export WINEPREFIX=$work/prefix
    create_prefix

    info=$(probe version "$exe")
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
    revision=$(git -C "$root" rev-parse --short=12 HEAD 2>/dev/null || echo unknown)
    check "SVN Revision names the commit ($revision)" \
        grep -qE "^value SVN Revision=$revision(-modified)?$" <<<"$info"
    check "every value is set" [ "$(grep -cE '^value [^=]+=.' <<<"$info")" = 9 ]
}

# chosen <PELMORANE_ARCH> <32-bit loader>: the build chosen with these, or what stopped it.
chosen() {
    (PELMORANE_ARCH=$1 wine32_loader=$2 && choose_build 2>&1 && echo "$build")
}

exe.build-choice() {
    make_work
    local no_32_bit=$work/wine
    printf '#!/bin/sh\nexit 126\n' >"$no_32_bit" # as the kernel answers without IA-32 emulation
    chmod +x "$no_32_bit"
    check "a 32-bit loader that exits 126 chooses the 64-bit build" \
        [ "$(chosen "" "$no_32_bit")" = win64 ]
    check "one that runs, the 32-bit build" [ "$(chosen "" /bin/true)" = win32 ]
    check "PELMORANE_ARCH=win64 forces the 64-bit build" [ "$(chosen win64 /bin/true)" = win64 ]
    check "a forced win32 that cannot run fails, saying why" grep -q \
        "PELMORANE_ARCH=win32, but $no_32_bit --version exits with 126" <<<"$(chosen win32 "$no_32_bit")"
}

e2e.start() {
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
    check "exactly one child runs" [ "$(companions)" = "$(child_started_last)" ]
}

e2e.restart() {
    setup
    start_service first-parameter second-parameter # start parameters change nothing
    restart_with 128
    restart_with 255
    check "the service still reports running" has "$(svc query Pelmorane)" state=4
}

e2e.report-only() {
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

e2e.pause() {
    setup
    start_service
    check "pause reports paused" has "$(svc control Pelmorane 2)" state=7
    check "pause leaves the child running" [ "$(companions)" = "$child" ]
    restart_with 128
    check "a restart while paused stays paused" has "$status" state=7
    check "interrogate reports paused" has "$(svc control Pelmorane 4)" state=7
    check "continue reports running" has "$(svc control Pelmorane 3)" state=4
}

e2e.stop() {
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

e2e.ignores-quit() {
    setup
    use_mode ignore
    start_service
    status=$(svc control Pelmorane 1)
    check "the child noted WM_QUIT and ran on" await "^[0-9]+ $child quit-ignored$" 1
    check "it is terminated about 1 s later" within "$(field ms "$status")" 950 5000
    check "no companion runs" no_companion
    check "the service reports stopped" has "$status" state=1 win32=0
}

e2e.ended-by-itself() {
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

e2e.no-companion() {
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

e2e.stop-during-start() {
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

e2e.search-path() {
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
    shut_down_prefix # the system PATH is read when the prefix starts
    keep_prefix_up

    check "start reports running" has "$(svc start Pelmorane)" state=4
    sleep 2
    check "no kiv.exe from the search path was launched" no_companion
    check "none of them ran" [ -z "$(cat "$windows/kiv.log" "$windows/system32/kiv.log" \
        "$path_dir/kiv.log" 2>/dev/null)" ]
}

e2e.by-hand() {
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

# The operator's guide followed to the letter: the release unpacked, this build's executable
# and the companion copied into C:\Program Files\Pelmorane, then every sc line of the unpacked
# guide run in its order, each from a batch file by Wine's own cmd and sc. Wine's sc has no
# `control`; svcctl stands in for those lines.
e2e.release() {
    local zip=$root/dist/pelmorane-$PROJECT_VERSION-windows.zip folder=win32 lines line words
    local output state=STOPPED verbs=""
    [ -f "$zip" ] || { echo "no ${zip#"$root"/}: scripts/release.sh makes it" && exit 77; }
    [ "$BUILD" = win32 ] || folder=x64
    copy_prefix
    mkdir "$work/release"
    (cd "$work/release" && cmake -E tar xf "$zip")
    check "the release's $folder\\pelmorane.exe is the one just built" \
        cmp "$work/release/$folder/pelmorane.exe" "$service_exe"
    service_dir="$WINEPREFIX/drive_c/Program Files/Pelmorane"
    mkdir -p "$service_dir"
    cp "$work/release/$folder/pelmorane.exe" "$service_dir/"
    cp "$companion_exe" "$service_dir/kiv.exe"

    mapfile -t lines < <(tr -d '\r' <"$work/release/README.txt" | sed -n 's/^ *\(sc .*\)$/\1/p')
    for line in "${lines[@]}"; do
        read -ra words <<<"$line"
        verbs+="${verbs:+ }${words[1]}"
        echo "guide: $line"
        if [ "${words[1]}" = control ]; then
            restart_with "${words[3]}"
            continue
        fi
        printf '%s\r\n' "$line" >"$work/step.bat"
        output=$(cd "$work" && wine cmd /c step.bat | tr -d '\r') || fail "$line: $output"
        case ${words[1]} in
        create)
            output=$(wine reg query 'HKLM\System\CurrentControlSet\Services\Pelmorane' /v ImagePath |
                sed -n 's/^ *ImagePath *REG_[A-Z_]* *//p' | tr -d '\r')
            check "ImagePath is registered with its quotes: $output" \
                [ "$output" = '"C:\Program Files\Pelmorane\pelmorane.exe"' ]
            ;;
        start)
            await started >/dev/null
            child=$(child_started_last)
            check "the companion in that folder runs" [ "$(companions)" = "$child" ]
            state=RUNNING
            ;;
        query)
            check "sc query shows $(grep STATE <<<"$output" | xargs)" \
                grep -qE "STATE +: [0-9]+ +$state\b" <<<"$output"
            check "and both exit codes 0" [ "$(grep -cE '_EXIT_CODE +: 0 ' <<<"$output")" = 2 ]
            ;;
        stop)
            check "the child received WM_QUIT" await "^[0-9]+ $child quit$" 1
            check "no companion runs" no_companion
            state=STOPPED
            ;;
        delete) ;;
        *) fail "the guide has a line that this scenario cannot follow: $line" ;;
        esac
    done
    check "the guide's lines create, start, query, restart, stop, query and delete the service" \
        [ "$verbs" = "create start query control control stop query delete" ]
}

e2e.crashing-companion() {
    setup
    use_mode crash
    check "start reports running" has "$(svc start Pelmorane)" state=4
    await "crashing$" >/dev/null
    check "the companion died" eventually 10 no_companion
    answers_every_control
    check "each launch crashed in turn" [ "$(events | grep -c crashing)" = 3 ]
}

e2e.truncated-companion() {
    setup
    head -c 1024 "$companion_exe" >"$service_dir/kiv.exe" # "MZ" and its headers, nothing more
    check "start reports running" has "$(svc start Pelmorane)" state=4
    answers_every_control
    check "it never ran" [ -z "$(events)" ]
}

soak.restarts() {
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
    check "200 restarts: exactly one companion runs" [ "$(companions)" = "$(child_started_last)" ]
    check "the service reports running" has "$(svc query Pelmorane)" state=4
    check "it holds as many handles as before ($handles)" [ "$(probe handles "$service_pid")" = "$handles" ]
    local grown=$(($(rss_kib "$unix") - rss))
    check "its resident memory grew by at most 256 KiB ($grown KiB from $rss KiB)" \
        within $grown -1000000 256
}

soak.start-stop() {
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

case $name in
exe.*) "$name" ;;
prepare | e2e.* | soak.*)
    use_build "$BUILD"
    announce "runs" "it is a test of the $BUILD preset"
    if [ "$name" = prepare ]; then prepare_template; else "$name"; fi
    ;;
*) fail "no scenario $name" ;;
esac
