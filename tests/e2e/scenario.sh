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

# The executable as built, or as PELMORANE_EXE names it (a release's signed copy).
exe.format() {
    local dump size imports signature
    name_build "$BUILD"
    service_exe=${PELMORANE_EXE:-$service_exe}
    announce "checks" "it is a test of the $BUILD preset"
    echo "reads ${service_exe#"$root"/}"
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
    # A signature comes after the image, in the security directory.
    signature=$((16#$(sed -n 's/^Entry 4 [0-9a-f]* \([0-9a-f]*\) Security Directory$/\1/p' <<<"$dump")))
    size=$(($(stat -c %s "$service_exe") - signature))
    check "at most $size_limit bytes ($size bytes, and a signature of $signature)" [ "$size" -le "$size_limit" ]
}

# probe_prefix <what it reads>: a new prefix with the probe of this build, or where Wine cannot
# run this build here, of the build that it runs.
probe_prefix() {
    local reader=$BUILD reason="it is a test of the $BUILD preset"
    if ! can_run "$BUILD"; then
        reason="Wine cannot run the $BUILD build here ($why_not)"
        choose_build
        reader=$build
    fi
    use_build "$reader"
    announce "reads $1 with the probe of" "$reason"
    make_work
    export WINEPREFIX=$work/prefix
    create_prefix
}

# The version resource as stored, read by the build's own probe, or where Wine cannot run that
# build here, by the probe of the build that it runs.
exe.version() {
    local exe info revision
    exe=$(service_exe_of "$BUILD")
    probe_prefix "${exe#"$root"/}"

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

# The package of the build under test: x86 or x64.
package_arch() {
    [ "$BUILD" = win64 ] && echo x64 || echo x86
}

# table <package> <table>: its rows, without the three header lines.
table() {
    msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4
}

# acl <SDDL>: the descriptor as the platform's own parser reads it (probe sddl). Generic rights,
# which would be mapped only where the descriptor is applied, and ACEs other than allowing and
# denying ones are refused.
acl() {
    local lines
    lines=$(probe sddl "$1") || return 1
    if grep -E '^ace ' <<<"$lines" | grep -vqE '^ace [01] 0x[0-9a-f]+ 0x[0-9a-f]{1,7} S-'; then
        echo "  a generic right or another kind of ACE in $1" >&2
        return 1
    fi
    echo "$lines"
}

# holders <acl> <rights mask>: the SIDs that an allowing ACE gives any of these rights.
holders() {
    local type mask sid
    grep '^ace ' <<<"$1" | while read -r _ type _ mask sid; do
        [ "$type" = 0 ] && ((mask & $2)) && echo "$sid"
    done | sort -u | xargs
}

# descriptor <lock row> <rights mask> <what others may not do>: that MsiLockPermissionsEx row's
# SDDL, in `sddl`, as the platform's parser reads it, in `parsed` (both printed, for the record):
# none but SYSTEM and Administrators holds any of those rights.
descriptor() {
    sddl=$(table "$package" MsiLockPermissionsEx | awk -F'\t' -v row="$1" '$1 == row { print $4 }')
    parsed=$(acl "$sddl") || fail "$1: $sddl"
    printf '%s: %s\n%s\n' "$1" "$sddl" "$parsed"
    check "only SYSTEM and Administrators may $3" [ "$(holders "$parsed" "$2")" = "S-1-5-18 S-1-5-32-544" ]
}

# This build's package, read without running it: its platform, its exe byte for byte, its codes as
# the operator's guide gives them, and what scripts/complete-package.py adds: the descriptors of
# the service and its folder (read by the platform's own parser), the vital registration, the
# secure account and the recovery action.
exe.package() {
    local arch platform package properties guide code value folder sddl parsed
    arch=$(package_arch)
    platform=${arch/x86/Intel}
    package=$root/dist/pelmorane-$PROJECT_VERSION-$arch.msi
    [ -f "$package" ] || { echo "no ${package#"$root"/}: scripts/release.sh makes it" && exit 77; }
    probe_prefix "${package#"$root"/}"
    service_exe=$(service_exe_of "$BUILD")
    check "the summary of ${package##*/} says $platform" \
        grep -qx "Template: $platform;1033" <<<"$(msiinfo suminfo "$package")"
    msiextract -C "$work" "$package" >/dev/null
    check "it holds ${service_exe#"$root"/} byte for byte, but for any signature" \
        is_built_exe "$(find "$work" -name pelmorane.exe)"
    properties=$(msiinfo export "$package" Property | tr -d '\r')
    guide=$(tr -d '\r' <"$E2E_DIR/../../README.txt")
    for code in UpgradeCode:$arch ProductCode:${package##*/}; do
        value=$(sed -n "s/^${code%:*}\t//p" <<<"$properties")
        check "the guide gives its ${code%:*}, $value" \
            awk -v name="${code#*:}" -v value="$value" '$1 == name && $2 == value { found = 1 }
                END { exit !found }' <<<"$guide"
    done

    check "two descriptors: the service's and its folder's, the Service component's CreateFolder" \
        [ "$(table "$package" MsiLockPermissionsEx | cut -f1-3 | sort | xargs) $(table "$package" CreateFolder | xargs)" = \
        "FolderAccess INSTALLFOLDER CreateFolder ServiceAccess Pelmorane ServiceInstall INSTALLFOLDER Service" ]
    check "no LockPermissions table beside them" [ -z "$(msiinfo tables "$package" | grep -x LockPermissions)" ]
    # User-defined control, start, stop, pause and continue, change config, DELETE, WRITE_DAC,
    # WRITE_OWNER.
    descriptor ServiceAccess 0xD0172 "control, start, stop or change the service"
    check "the guide's sc sdset gives it, character for character" \
        grep -qxF "sc sdset Pelmorane \"$sddl\"" <<<"$(sed 's/^ *//' <<<"$guide")"
    # Writing data, appending, extended attributes, attributes, deleting children, DELETE,
    # WRITE_DAC, WRITE_OWNER.
    descriptor FolderAccess 0xD0156 "write the folder"
    check "its owner is Administrators, its DACL protected (0x1000)" \
        [ "$(($(sed -n 's/^control=\(0x[0-9a-f]*\) owner=S-1-5-32-544$/\1/p' <<<"$parsed") & 0x1000))" != 0 ]
    check "OWNER RIGHTS leaves the owner only READ_CONTROL, inherited like every ACE" \
        [ "$(grep -c '^ace 0 0x3 0x20000 S-1-3-4$' <<<"$parsed") $(grep '^ace ' <<<"$parsed" | grep -vc '^ace [01] 0x3 ')" = "1 0" ]

    check "the registration is vital: ErrorControl 0x8001" \
        [ "$(table "$package" ServiceInstall | cut -f6)" = $((0x8001)) ]
    value="$(grep -c '^SERVICEACCOUNT' <<<"$properties" || true)"
    value+=" $(grep -c '^SecureCustomProperties'$'\t''.*;SERVICEACCOUNT$' <<<"$properties" || true)"
    check "SERVICEACCOUNT is secure, with no default" [ "$value" = "0 1" ]
    folder=SystemFolder
    [ "$arch" = x86 ] || folder=System64Folder
    value=$(sed -n 's/^ *sc \(failure .*\)$/\1/p' <<<"$guide")
    check "one custom action runs the system's sc.exe from $folder, deferred, as the system: $value" \
        [ "$(table "$package" CustomAction | grep -v $'\t51\t' | cut -f1-4)" = \
        "SetRecovery"$'\t'"3106"$'\t'"$folder"$'\t'"\"[$folder]sc.exe\" $value" ]
    check "$folder is a folder of the package" grep -qx "$folder"$'\tTARGETDIR\t.' <<<"$(table "$package" Directory)"
    check "after InstallServices, before StartServices, not on removal" \
        [ "$(table "$package" InstallExecuteSequence | sort -t$'\t' -k3n | grep -A1 -B1 SetRecovery |
        cut -f1-2 | tr '\t' ' ' | paste -sd'|')" = \
        'InstallServices VersionNT|SetRecovery NOT REMOVE~="ALL"|StartServices VersionNT' ]
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

# The service process ended from outside, as by Task Manager or a crash: its child ends with it,
# without a quit message, and the next start of the service (here a reboot, as Windows'
# recovery would start it) launches exactly one child.
e2e.killed() {
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
    reboot_prefix # the system PATH is read when the prefix starts

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
# guide run in its order, each from a batch file by Wine's own cmd and sc, and a reboot once the
# service runs. Wine's sc has no `control`; svcctl stands in for those lines. It has no `sdshow` or
# `qfailure` either, which only show what the lines before them set: those are skipped. And Wine
# neither enforces the descriptor that `sdset` sets nor acts on `failure`: they only have to run.
e2e.release() {
    local zip=$root/dist/pelmorane-$PROJECT_VERSION-windows.zip folder=win32 lines line words
    local output state=STOPPED verbs=""
    [ -f "$zip" ] || { echo "no ${zip#"$root"/}: scripts/release.sh makes it" && exit 77; }
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
        sed -n '/^[0-9]\. Without a package/,/^[0-9]\. /s/^ *\(sc .*\)$/\1/p')
    for line in "${lines[@]}"; do
        read -ra words <<<"$line"
        verbs+="${verbs:+ }${words[1]}"
        echo "guide: $line"
        case ${words[1]} in
        control)
            restart_with "${words[3]}"
            continue
            ;;
        sdshow | qfailure)
            echo "skipped: it only shows a setting, and Wine's sc has no ${words[1]}"
            continue
            ;;
        esac
        windows_cmd "$line"
        [ "$exit_code" = 0 ] || fail "$line: exit $exit_code: $output"
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

# The packages under Wine's own Windows Installer. Each runs in a copy of the prepared prefix with
# the packages of one build in the work folder: this version's from dist/ (`package`), and a later
# version's, plain (`later`) and with kiv.exe (`later_kiv`), from the release that scripts/test.sh
# makes to upgrade to (PELMORANE_LATER_RELEASE). `service_dir` is where they install.
msi_prefix() {
    local arch=$1 later_dir=${PELMORANE_LATER_RELEASE:-}
    [ -d "$later_dir" ] || { echo "no later release to upgrade to: scripts/test.sh makes one" && exit 77; }
    copy_prefix
    package=pelmorane-$PROJECT_VERSION-$arch.msi
    later=$(cd "$later_dir" && echo pelmorane-*-"$arch".msi)
    later_kiv=${later%.msi}-with-kiv.msi
    later_version=${later#pelmorane-} later_version=${later_version%-*}
    cp "$root/dist/$package" "$later_dir/$later" "$later_dir/$later_kiv" "$work/"
    # A 32-bit package on 64-bit Windows goes to Program Files (x86), and its registry view.
    program_files='C:\Program Files' view=/reg:64
    [ "$arch" = x64 ] || view=/reg:32
    [ "$arch$BUILD" != x86win64 ] || program_files='C:\Program Files (x86)'
    service_dir=$WINEPREFIX/drive_c/${program_files#C:\\}/Pelmorane
}

# msiexec <arguments...>: Wine's msiexec as the guide has it, silent and with a log.
msiexec() {
    windows_cmd "msiexec $* /qn /l*v msiexec.log"
}

# How many entries named Pelmorane Apps & features lists.
product_entries() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s $view |
        grep -c 'DisplayName *REG_SZ *Pelmorane.$' || true
}

# apps_entry <package>: what Apps & features shows of it: name, version, publisher, NoModify.
apps_entry() {
    local key value
    key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\'
    key+=$(msiinfo export "$work/$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')
    for value in DisplayName DisplayVersion Publisher NoModify; do
        reg_value "$key" $value $view
    done | paste -sd'|'
}

account() {
    reg_value "$service_key" ObjectName
}

# ran <action> <return values>: whether the install's script ran the action with such a result
# (1 success; 3 failure, or 0 under Wine), by its log. Wine logs a deferred action when it is
# scheduled and again when InstallFinalize runs it.
ran() {
    sed -n '/Action start .*: InstallFinalize\./,$p' "$work/msiexec.log" |
        grep -E "Action ended .*: $1\. Return value [$2]\." >/dev/null # all read: no SIGPIPE
}

# msi_lifecycle <x86|x64>: an install as another account, the companion added, a reboot, an
# upgrade that keeps the account, a refused downgrade, removal, an install as LocalSystem, and
# upgrades from an account that needs a password.
msi_lifecycle() {
    msi_prefix "$1"
    local image="$program_files\Pelmorane\pelmorane.exe" service_pid local_service='NT AUTHORITY\LocalService'
    msiexec /i "$package" "SERVICEACCOUNT=\"$local_service\""
    check "install as $local_service: exit $exit_code ($took_ms ms)" [ "$exit_code" = 0 -a "$(account)" = "$local_service" ]
    check "the recovery settings were made with the system's sc.exe" ran SetRecovery 1
    check "automatic start, own process" \
        [ "$(reg_value "$service_key" Start) $(reg_value "$service_key" Type)" = "0x2 0x10" ]
    check "the image path names $image" [ "$(reg_value "$service_key" ImagePath | tr -d '"')" = "$image" ]
    check "it runs, with no child while there is no kiv.exe" has "$(svc query Pelmorane)" state=4
    check "Apps & features lists it once: Pelmorane, $PROJECT_VERSION, the CompanyName, no Modify" \
        [ "$(product_entries) $(apps_entry "$package")" = \
        "1 Pelmorane|$PROJECT_VERSION|$(probe version "$service_dir/pelmorane.exe" | sed -n 's/^value CompanyName=//p')|0x1" ]
    no_companion || fail "a companion runs"
    cp "$companion_exe" "$service_dir/kiv.exe"
    svc control Pelmorane 128 >/dev/null
    child=$(child_started_last)
    check "kiv.exe put into the folder: 128 launches it from there, alone" \
        [ -n "$child" -a "$(companions)" = "$child" ]
    reboot_prefix
    check "after a reboot it runs again, with one new child" eventually 30 runs_with_new_child

    child=$(child_started_last) service_pid=$(field pid "$(svc query Pelmorane)")
    msiexec /i "$later"
    check "upgrade to $later_version: exit $exit_code ($took_ms ms)" [ "$exit_code" = 0 ]
    check "the old child received WM_QUIT" await "^[0-9]+ $child quit$" 1
    status=$(svc query Pelmorane)
    check "a new service process runs" [ "$(field state "$status")" = 4 -a "$(field pid "$status")" != "$service_pid" ]
    check "the new package's exe" grep -qx "value FileVersion=$later_version" \
        <<<"$(probe version "$service_dir/pelmorane.exe")"
    check "one service process, one child, kiv.exe still there, one product entry" \
        [ "$(probe pids pelmorane.exe | wc -l) $(companions) $(product_entries)" = "1 $(child_started_last) 1" \
        -a -f "$service_dir/kiv.exe" ]
    check "the account is kept without SERVICEACCOUNT" [ "$(account)" = "$local_service" ]

    child=$(child_started_last) service_pid=$(field pid "$status")
    msiexec /i "$package"
    check "downgrade: refused, exit $exit_code" [ "$exit_code" = 1603 ]
    check "nothing changed: the same service process and child" \
        [ "$(field pid "$(svc query Pelmorane)") $(companions)" = "$service_pid $child" ]
    check "and the same exe" grep -qx "value FileVersion=$later_version" \
        <<<"$(probe version "$service_dir/pelmorane.exe")"
    check "the package says why" grep -q "A newer version of Pelmorane is installed" \
        <<<"$(msiinfo export "$work/$package" LaunchCondition)"

    msiexec /x "$later"
    check "removal: exit $exit_code ($took_ms ms)" [ "$exit_code" = 0 ]
    check "the child received WM_QUIT" await "^[0-9]+ $child quit$" 1
    check "the service no longer exists" no_service
    check "pelmorane.exe is gone, with its process and product entry" \
        [ ! -e "$service_dir/pelmorane.exe" -a -z "$(probe pids pelmorane.exe)" -a "$(product_entries)" = 0 ]
    check "the operator's kiv.exe is left" [ -f "$service_dir/kiv.exe" ]

    msiexec /i "$package"
    check "installed once more, with no SERVICEACCOUNT: exit $exit_code, as LocalSystem" \
        [ "$exit_code" = 0 -a "$(account)" = LocalSystem ]
    check "and the kiv.exe already there runs" eventually 10 runs_with_new_child

    wine reg add "$service_key" /v ObjectName /d '.\someone' /f >/dev/null # as if set by hand
    service_pid=$(field pid "$(svc query Pelmorane)")
    msiexec /i "$later"
    check "an upgrade from an account with a password is refused: exit $exit_code" [ "$exit_code" = 1603 ]
    check "nothing changed" [ "$(account) $(field pid "$(svc query Pelmorane)") $(product_entries)" = \
        ".\someone $service_pid 1" ]
    check "by a launch condition, which asks for SERVICEACCOUNT" \
        grep -qE "LaunchConditions\. Return value [03]\." "$work/msiexec.log"
    check "the package's message asks for SERVICEACCOUNT" grep -q "needs a password.*SERVICEACCOUNT=" \
        <<<"$(msiinfo export "$work/$later" LaunchCondition)"
    msiexec /i "$later" SERVICEACCOUNT=LocalSystem
    check "given SERVICEACCOUNT=LocalSystem, it upgrades: exit $exit_code, as LocalSystem" \
        [ "$exit_code" = 0 -a "$(account)" = LocalSystem ]
}

e2e.msi() {
    msi_lifecycle "$(package_arch)"
}

# The common case: the 32-bit package on 64-bit Windows.
e2e.msi-x86-in-64-bit-prefix() {
    [ "$BUILD" = win64 ] || { echo "skipped: the win64 preset's prefixes are 64-bit; it runs this" && exit 77; }
    can_run win32 || { echo "skipped: no 32-bit program runs here ($why_not)" && exit 77; }
    msi_lifecycle x86
}

e2e.msi-companion() {
    msi_prefix "$(package_arch)"
    msiexec /i "$later_kiv"
    check "the package with kiv.exe installs: exit $exit_code" [ "$exit_code" = 0 ]
    child=""
    check "its child runs right away" eventually 10 runs_with_new_child
    msiexec /x "$later_kiv"
    check "removal: exit $exit_code" [ "$exit_code" = 0 ]
    check "every file it installed is gone" [ ! -e "$service_dir/pelmorane.exe" -a ! -e "$service_dir/kiv.exe" ]
    check "and the service" no_service
}

# One owner for the service: neither a service registered by hand nor another package line. And
# a registration that fails fails the install where it happens.
e2e.msi-one-owner() {
    local arch other
    arch=$(package_arch)
    msi_prefix "$arch"
    windows_cmd 'sc create Other binPath= C:\other.exe DisplayName= Pelmorane'
    msiexec /i "$package"
    check "with the display name taken, the registration fails the install: exit $exit_code" \
        [ "$exit_code" = 1603 ]
    check "at InstallServices" ran InstallServices 03
    check "nothing is left" [ ! -e "$service_dir/pelmorane.exe" -a "$(product_entries)" = 0 ]
    windows_cmd "sc delete Other"

    mkdir "$WINEPREFIX/drive_c/pelmorane"
    cp "$service_exe" "$WINEPREFIX/drive_c/pelmorane/"
    svc create Pelmorane 'C:\pelmorane\pelmorane.exe' >/dev/null # as from the ZIP, for manual start
    msiexec /i "$package"
    check "with a service registered by hand, the package refuses: exit $exit_code" [ "$exit_code" = 1603 ]
    check "nothing changed" [ ! -e "$service_dir" -a "$(product_entries)" = 0 -a \
        "$(reg_value "$service_key" ImagePath)" = 'C:\pelmorane\pelmorane.exe' ]
    reboot_prefix
    sleep 3
    check "a reboot leaves a service for manual start stopped" has "$(svc query Pelmorane)" state=1
    windows_cmd "sc delete Pelmorane"
    msiexec /i "$package"
    check "after sc delete it installs: exit $exit_code" [ "$exit_code" = 0 ]

    # Another line: the x86 package beside the x64 one, or the x86 line with kiv.exe.
    other=$later_kiv
    if [ $arch = x64 ]; then
        other=pelmorane-$PROJECT_VERSION-x86.msi view=/reg:32
        cp "$root/dist/$other" "$work/"
    fi
    status="$(svc query Pelmorane) entries=$(product_entries)"
    msiexec /i "$other"
    check "with the $arch package installed, $other refuses: exit $exit_code" [ "$exit_code" = 1603 ]
    check "nothing changed: the same service process, as many product entries" \
        has "$status" "pid=$(field pid "$(svc query Pelmorane)")" "entries=$(product_entries)"
}

e2e.crashing-companion() {
    setup
    use_mode crash
    check "start reports running" has "$(svc start Pelmorane)" state=4
    svc control Pelmorane 4 >/dev/null # waits for the launch and its settling wait
    check "the companion died" companions_ended
    check "having crashed" [ "$(events | grep -c 'crashing$')" = 1 ]
    answers_every_control companions_ended
    check "each launch crashed in turn" [ "$(events | grep -c 'crashing$')" = 3 ]
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
