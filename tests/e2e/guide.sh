# Guide scenarios: the operator's guide, shipped in the release, followed as written.

# The operator's guide followed to the letter: the release unpacked, this build's executable
# and the companion copied into C:\Program Files\Pelmorane, then every sc.exe line of the unpacked
# guide run in its order, each from a batch file by Wine's own cmd and sc, and a reboot once the
# service runs. Wine's sc has no `control`; svcctl stands in for those lines, once they are read for
# their service and code. It has no `sdshow` or `qfailure` either, which only show what the lines
# before them set: those are skipped. And Wine neither enforces the descriptor that `sdset` sets
# nor acts on `failure`: they only have to run.
# Wine's sc can report a stop that happened as a failure: the service process may end before the
# manager has read the handler's answer (ERROR_BROKEN_PIPE). It passes only where the manager then
# reports the service stopped and the child received WM_QUIT.
stopped_anyway() {
    has "$(svc query Pelmorane)" state=1 && await "^[0-9]+ $child quit$" 1 >/dev/null
}

guide.sc-lines() {
    local zip=$root/dist/pelmorane-$PROJECT_VERSION-windows.zip folder=win32 lines line words
    local output state=STOPPED verbs=""
    needs "$zip" scripts/release.sh
    [ "$BUILD" = win32 ] || folder=x64
    copy_prefix
    mkdir "$work/release"
    (cd "$work/release" && cmake -E tar xf "$zip")
    check "the release's $folder\\pelmorane.exe is ${service_exe#"$root"/}, but for any signature" \
        is_built_exe "$work/release/$folder/pelmorane.exe"
    service_dir="$WINEPREFIX/drive_c/Program Files/Pelmorane"
    mkdir -p "$service_dir"
    cp "$work/release/$folder/pelmorane.exe" "$service_dir/"
    cp "$companion_exe" "$service_dir/kiv.exe"

    mapfile -t lines < <(tr -d '\r' <"$work/release/README.txt" |
        sed -n '/^[0-9]\. Without a package/,/^[0-9]\. /s/^ *\(sc\.exe .*\)$/\1/p')
    for line in "${lines[@]}"; do
        read -ra words <<<"$line"
        verbs+="${verbs:+ }${words[1]}"
        echo "guide: $line"
        case ${words[1]} in
        control)
            [[ ${#words[@]} = 4 && ${words[2]} = Pelmorane && ${words[3]} =~ ^(128|255)$ ]] ||
                fail "not a restart of Pelmorane's one child (128 or 255): $line"
            restart_with "${words[3]}"
            continue
            ;;
        sdshow | qfailure)
            echo "skipped: it only shows a setting, and Wine's sc has no ${words[1]}"
            continue
            ;;
        esac
        # A stop line stops the service that the lines before it started, or it proves nothing.
        [ "${words[1]}" != stop ] || check "the service runs before it" has "$(svc query Pelmorane)" state=4
        output=$(windows_cmd "$line")
        if [ "$(exit_of "$output")" != 0 ]; then
            [ "${words[1]}" = stop ] && stopped_anyway || fail "$line: $output"
            echo "note: $line answered ${output%%$'\n'*}, yet the service stopped and its child quit"
        fi
        case ${words[1]} in
        create)
            output=$(reg_value "$service_key" ImagePath)
            check "ImagePath is registered with its quotes: $output" \
                [ "$output" = '"C:\Program Files\Pelmorane\pelmorane.exe"' ]
            check "for automatic start" [ "$(reg_value "$service_key" Start)" = 0x2 ]
            ;;
        start)
            await started >/dev/null
            child=$(child_started_last)
            check "the companion in that folder runs" [ "$(companions)" = "$child" ]
            reboot_prefix
            check "after a reboot the service runs again, with a new child" \
                eventually 30 runs_with_new_child
            child=$(child_started_last)
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
        sdset | failure | delete) ;;
        *) fail "the guide has a line that this scenario cannot follow: $line" ;;
        esac
    done
    check "the guide's lines create, secure, give recovery to, start, query, restart, stop, query and delete the service" \
        [ "$verbs" = "create sdset sdshow failure qfailure start query control control stop query delete" ]
}

# msiexec_fault <line> <section>: what is wrong with a line of the guide that names msiexec, if
# anything. A command stands on a line of its own and waits for msiexec, so that its exit code is
# msiexec's: cmd's with start /wait, PowerShell's with -Wait -PassThru, and the deployment tools'
# bare, since the tool waits itself (section 2 only). A silent one (/q..., /quiet, /passive) says
# /norestart: Windows Installer would otherwise restart the computer unasked. Options are read
# without case, as msiexec reads them, in either of their forms (/ or -).
msiexec_exe='msiexec(\.exe)?'
command_form="^\ {7}(start\ /wait\ $msiexec_exe\ |\(start-process\ $msiexec_exe\ .*-wait\ -passthru\)|$msiexec_exe\ )"

msiexec_fault() {
    local line=${1,,}
    [[ $line =~ $msiexec_exe[\ \'] ]] || return 0
    if [[ $line =~ $command_form ]]; then
        [[ ! $line =~ ^\ {7}$msiexec_exe\  || $2 = 2 ]] || echo "msiexec that nothing waits for"
        [[ ! $line =~ [\ \'][/-](q[nbr]?[+!-]?|quiet|passive)([\ \']|$) || $line =~ [\ \'][/-]norestart([\ \']|$) ]] ||
            echo "silent, but may restart"
    elif [[ $line =~ $msiexec_exe\ [/-] ]]; then
        echo "a command inside prose, or not waited for"
    fi
}

# Lines that msiexec_fault must refuse, and lines that it must pass, each after its section.
sorts_lines() {
    local line wrong=(
        "1:       start /wait msiexec /i p.msi /QN /l*v install.log"
        "1:       start /wait msiexec.exe /x p.msi /quiet"
        "1:       (Start-Process msiexec -ArgumentList '/i p.msi /passive' -Wait -PassThru).ExitCode"
        "1:       start /wait msiexec /i p.msi -qb! /l*v install.log"
        "1:       msiexec.exe /i p.msi /qn /norestart"
        "1:   then run msiexec.exe /i p.msi /qn /norestart to install"
    ) right=(
        "1:       START /WAIT MSIEXEC.EXE /I p.msi -QN -NoRestart"
        "2:       msiexec /x p.msi /quiet /norestart"
    )
    for line in "${wrong[@]}"; do
        [ -n "$(msiexec_fault "${line#*:}" "${line%%:*}")" ] || { echo "  passed: $line" >&2 && return 1; }
    done
    for line in "${right[@]}"; do
        [ -z "$(msiexec_fault "${line#*:}" "${line%%:*}")" ] || { echo "  refused: $line" >&2 && return 1; }
    done
}

guide.msiexec-lines() {
    local zip=$root/dist/pelmorane-$PROJECT_VERSION-windows.zip guide line section="" commands=0 fault
    check "the check refuses silent lines without /norestart, unwaited and prose ones, in any case" sorts_lines
    needs "$zip" scripts/release.sh
    make_work
    guide=$(cd "$work" && cmake -E tar xf "$zip" README.txt && tr -d '\r' <README.txt)
    while IFS= read -r line; do
        [[ $line =~ ^([0-9])\. ]] && section=${BASH_REMATCH[1]}
        [[ ${line,,} == *msiexec* ]] || continue # spares a subshell for each other line
        fault=$(msiexec_fault "$line" "$section")
        [ -z "$fault" ] || fail "$fault: $line"
        [[ ! ${line,,} =~ $command_form ]] || commands=$((commands + 1))
    done <<<"$guide"
    check "the guide's $commands msiexec commands each stand alone, wait, and say /norestart" [ $commands -ge 7 ]
}
