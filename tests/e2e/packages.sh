# Package scenarios: the Windows Installer packages under Wine's own msiexec, as operators run them.

# msi_prefix <x86|x64>: a copy of the prepared prefix with the packages of one build in the work
# folder: this version's from dist/ (`package`), and the next version's, plain (`later`) and with
# kiv.exe (`later_kiv`), from the release made to upgrade to. `service_dir` is where they install.
msi_prefix() {
    local arch=$1 later_dir
    later_version=$(later_version) later_dir=$(later_release)
    package=pelmorane-$PROJECT_VERSION-$arch.msi
    later=pelmorane-$later_version-$arch.msi
    later_kiv=pelmorane-$later_version-$arch-with-kiv.msi
    needs "$root/dist/$package" scripts/release.sh
    needs "$later_dir/$later_kiv" \
        "scripts/release.sh --version $later_version --companion ${companion_exe#"$root"/}"
    copy_prefix
    cp "$root/dist/$package" "$later_dir/$later" "$later_dir/$later_kiv" "$work/"
    # A 32-bit package on 64-bit Windows goes to Program Files (x86), and its registry view.
    program_files='C:\Program Files' view=/reg:64
    [ "$arch" = x64 ] || view=/reg:32
    [ "$arch$BUILD" != x86win64 ] || program_files='C:\Program Files (x86)'
    service_dir=$WINEPREFIX/drive_c/${program_files#C:\\}/Pelmorane
}

# msiexec <arguments...>: Wine's msiexec as the guide has it, silent, with no restart and a log.
msiexec() {
    windows_cmd "start /wait msiexec $* /qn /norestart /l*v msiexec.log"
}

# How many entries named Pelmorane Apps & features lists.
product_entries() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s $view |
        grep -c 'DisplayName *REG_SZ *Pelmorane.$' || true
}

# product_code <package>: its ProductCode.
product_code() {
    table "$work/$1" Property | sed -n 's/^ProductCode\t//p'
}

# apps_entry <package>: what Apps & features shows of it: name, version, publisher, NoModify.
apps_entry() {
    local key value
    key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\'
    key+=$(product_code "$1")
    for value in DisplayName DisplayVersion Publisher NoModify; do
        reg_value "$key" $value $view
    done | paste -sd'|'
}

account() {
    reg_value "$service_key" ObjectName
}

# intact <package>: every file that the package installs is in the folder with its bytes, and the
# service runs.
intact() {
    local file
    rm -rf "$work/unpacked"
    msiextract -C "$work/unpacked" "$work/$1" >/dev/null
    while read -r file; do
        cmp "$file" "$service_dir/${file##*/}" || return 1
    done < <(find "$work/unpacked" -type f)
    has "$(svc query Pelmorane)" state=4
}

# took <account>: the last msiexec run took SERVICEACCOUNT=<account>, by its verbose log.
took() {
    grep -qxF "Property(S): SERVICEACCOUNT = $1" "$work/msiexec.log"
}

# repair <package> [<properties>...]: a repair of the installed package, as the guide gives it
# for one that takes properties (msiexec /f takes none, and Wine's does not run it).
repair() {
    msiexec /i "$(product_code "$1")" REINSTALL=ALL REINSTALLMODE=omus "${@:2}"
}

# ran <action> <return values>: whether the install's script ran the action with such a result
# (1 success; 3 failure, or 0 under Wine), by its log. Wine logs a deferred action when it is
# scheduled and again when the script runs it, at InstallExecute.
ran() {
    sed -n '/Action start .*: InstallExecute\./,$p' "$work/msiexec.log" |
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
    # Every account that needs no password is carried: set on the installed service as by hand,
    # a repair without SERVICEACCOUNT takes it, as an upgrade does (the same condition carries it).
    for account in 'NT AUTHORITY\NetworkService' 'NT SERVICE\Pelmorane' 'CORP\svc-pelmorane$' "$local_service"; do
        wine reg add "$service_key" /v ObjectName /d "$account" /f >/dev/null
        repair "$package"
        check "a repair of the service as $account: exit $exit_code, taking that account" \
            eval '[ "$exit_code" = 0 ] && took "$account"'
    done
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
    check "the new package's files, byte for byte, and the service runs" intact "$later"
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
    check "pelmorane.exe is gone, with its process, kiv.exe's and the product entry" \
        [ ! -e "$service_dir/pelmorane.exe" -a -z "$(probe pids pelmorane.exe)" -a -z "$(companions)" \
        -a "$(product_entries)" = 0 ]
    check "the operator's kiv.exe is left" [ -f "$service_dir/kiv.exe" ]

    msiexec /i "$package"
    check "installed once more, with no SERVICEACCOUNT: exit $exit_code, as LocalSystem" \
        [ "$exit_code" = 0 -a "$(account)" = LocalSystem ]
    check "and the kiv.exe already there runs" eventually 10 runs_with_new_child

    wine reg add "$service_key" /v ObjectName /d '.\someone' /f >/dev/null # as if set by hand
    repair "$package"
    check "a repair of a service whose account has a password is refused: exit $exit_code" \
        [ "$exit_code" = 1603 -a "$(account)" = '.\someone' ]
    msiexec /i "$package"
    check "msiexec /i again on the installed package passes: exit $exit_code" [ "$exit_code" = 0 ]
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
    # The upgrade keeps the service, which Wine's InstallServices does not reconfigure: its account
    # stays as it was here, where Windows sets the one the install took.
    check "given SERVICEACCOUNT=LocalSystem, it upgrades: exit $exit_code" [ "$exit_code" = 0 ]
    check "taking LocalSystem" took LocalSystem
    msiexec /x "$later"
    check "its removal, from an account with a password: exit $exit_code" [ "$exit_code" = 0 ]
    check "the service is gone" no_service
}

packages.lifecycle() {
    msi_lifecycle "$(package_arch)"
}

# The common case: the 32-bit package on 64-bit Windows.
packages.x86-in-64-bit-prefix() {
    [ "$BUILD" = win64 ] || { echo "skipped: the win64 preset's prefixes are 64-bit; it runs this" && exit 77; }
    can_run win32 || { echo "skipped: no 32-bit program runs here ($why_not)" && exit 77; }
    msi_lifecycle x86
}

packages.with-kiv() {
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

# Upgrades from 1.2.0's packages as released, each as an operator would: installed as
# LocalService into a folder of the operator's choice, with kiv.exe, then the new version of its
# line without the folder: every file that it installs is in that folder with its bytes, none is
# in the default one, kiv.exe is kept, and the service runs as before, its child from there. An
# upgrade or a repair that names another folder is refused; the same folder spelt otherwise is
# not. Then removal leaves nothing of either.
packages.from-1.2.0() {
    local arch old new released=$root/build/release-1.2.0/dist local_service='NT AUTHORITY\LocalService'
    local chosen='C:\Kiv Host' default_dir
    arch=$(package_arch)
    msi_prefix "$arch"
    needs "$released/pelmorane-1.2.0-$arch-with-kiv.msi" \
        "tests/release/checks.sh released ${companion_exe#"$root"/}"
    default_dir=$service_dir service_dir=$WINEPREFIX/drive_c/Kiv\ Host
    for old in "pelmorane-1.2.0-$arch.msi:$package" "pelmorane-1.2.0-$arch-with-kiv.msi:$later_kiv"; do
        new=${old#*:} old=${old%:*}
        cp "$released/$old" "$work/"
        msiexec /i "$old" "SERVICEACCOUNT=\"$local_service\"" "INSTALLFOLDER=\"$chosen\""
        check "$old installs into $chosen: exit $exit_code" [ "$exit_code" = 0 -a -f "$service_dir/pelmorane.exe" ]
        child=""
        if [ ! -e "$service_dir/kiv.exe" ]; then
            cp "$companion_exe" "$service_dir/kiv.exe"
            svc control Pelmorane 128 >/dev/null
        fi
        check "and runs its child" eventually 10 runs_with_new_child
        child=$(child_started_last)
        if [ "$new" = "$package" ]; then
            msiexec /i "$new" 'INSTALLFOLDER="C:\Elsewhere"'
            check "an upgrade that names another folder is refused: exit $exit_code" [ "$exit_code" = 1603 ]
            check "nothing changed: 1.2.0 in $chosen" grep -qx "value FileVersion=1.2.0" \
                <<<"$(probe version "$service_dir/pelmorane.exe")"
            check "its child runs on, and nothing is elsewhere" \
                [ "$(companions)" = "$child" -a ! -e "$WINEPREFIX/drive_c/Elsewhere" ]
        fi
        msiexec /i "$new"
        check "upgrade to $new without INSTALLFOLDER: exit $exit_code ($took_ms ms)" [ "$exit_code" = 0 ]
        check "its files in $chosen, byte for byte, and the service runs" intact "$new"
        check "no pelmorane.exe in the default folder" [ ! -e "$default_dir/pelmorane.exe" ]
        check "its components are 1.2.0's: the same GUIDs, folders and key paths" \
            [ "$(table "$work/$new" Component)" = "$(table "$work/$old" Component)" ]
        check "with one new child from $chosen, kiv.exe kept, as $local_service, one product entry" \
            [ "$(companions)" = "$(child_started_last)" -a "$(child_started_last)" != "$child" -a \
            -f "$service_dir/kiv.exe" -a "$(account)" = "$local_service" -a "$(product_entries)" = 1 ]
        if [ "$new" = "$later_kiv" ]; then
            repair "$new" 'INSTALLFOLDER="c:\kiv host\"'
            check "a repair that names the folder in other letters, with a backslash: exit $exit_code" \
                [ "$exit_code" = 0 ]
        fi
        msiexec /x "$new"
        check "removal: exit $exit_code, no service, no product entry" \
            [ "$exit_code" = 0 -a "$(product_entries)" = 0 -a ! -e "$service_dir/pelmorane.exe" ]
        no_service || fail "the service is left"
        rm -f "$service_dir/kiv.exe" # the operator's, in the plain line
    done
}

# runs_from_folder <where>: the running service launches kiv.exe from its folder, 128 restarts it
# and stop ends it.
runs_from_folder() {
    svc control Pelmorane 128 >/dev/null # launches kiv.exe, or launches it again
    child=$(child_started_last)
    check "$1: kiv.exe is launched from there" [ -n "$child" -a "$(companions)" = "$child" ]
    restart_with 128
    status=$(svc control Pelmorane 1)
    check "stop reports stopped" has "$status" state=1 win32=0
    check "and ends kiv.exe with WM_QUIT" await "^[0-9]+ $child quit$" 1
}

# A folder whose name the system's ANSI code page cannot spell, in a prefix whose code page is
# pinned to 1252: registered with Wine's own sc.exe, its path handed over as arguments (cmd would
# read a batch file in the console's code page), and then installed there by the package.
packages.cyrillic-folder() {
    # Wine takes the ANSI code page from the locale: C.UTF-8 gives 1252, which has no Cyrillic
    # letters, and UTF-8 for the arguments handed over from here.
    export LC_ALL=C.UTF-8
    msi_prefix "$(package_arch)"
    check "the prefix's ANSI code page is 1252" [ "$(probe acp)" = 1252 ]
    local folder='C:\Пелморане ü'
    service_dir="$WINEPREFIX/drive_c/Пелморане ü"
    mkdir -p "$service_dir"
    cp "$service_exe" "$service_dir/pelmorane.exe"
    cp "$companion_exe" "$service_dir/kiv.exe"
    wine sc create Pelmorane binPath= "\"$folder\pelmorane.exe\"" >/dev/null || fail "sc create"
    svc start Pelmorane >/dev/null
    runs_from_folder "registered from $folder"
    wine sc delete Pelmorane >/dev/null || fail "sc delete"

    folder='C:\Пакет Пелморане'
    service_dir="$WINEPREFIX/drive_c/Пакет Пелморане"
    # Its arguments as they are, not through a batch file; Wine hands Linux only the low 8 bits
    # of msiexec's exit code, and 0 is 0.
    local code=0
    (cd "$work" && timeout $step_cap "$WINELOADER" msiexec /i "$package" /qn \
        "INSTALLFOLDER=$folder" /l*v msiexec.log) || code=$?
    check "the package installs into $folder: exit $code" [ "$code" = 0 ]
    cp "$companion_exe" "$service_dir/kiv.exe"
    runs_from_folder "installed by the package into $folder"
    msiexec /i "$later"
    check "the upgrade to $later_version without INSTALLFOLDER: exit $exit_code" [ "$exit_code" = 0 ]
    check "its files in $folder, byte for byte, and the service runs" intact "$later"
    check "with a new child from there, and no pelmorane.exe in the default folder" \
        [ "$(companions)" = "$(child_started_last)" -a "$(child_started_last)" != "$child" -a \
        ! -e "$WINEPREFIX/drive_c/${program_files#C:\\}/Pelmorane/pelmorane.exe" ]
}

# One owner for the service: neither a service registered by hand nor another package line. And
# a registration that fails fails the install where it happens.
packages.one-owner() {
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
