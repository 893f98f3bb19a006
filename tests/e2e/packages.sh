# Package scenarios: the Windows Installer packages under Wine's own msiexec, as operators run them:
# install, repair, upgrade, downgrade and removal, the accounts, the line with kiv.exe, and the
# refusals. upgrades.sh has the upgrades from 1.2.0 and from a folder of the operator's choice.
source "$(dirname "${BASH_SOURCE[0]}")/lib-package.sh"

# msi_lifecycle <x86|x64>: an install as another account, the companion added, a reboot, an
# upgrade that keeps the account, a refused downgrade, removal, an install as LocalSystem, and
# upgrades from an account that needs a password.
msi_lifecycle() {
    msi_prefix "$1"
    local image="$program_files\Pelmorane\pelmorane.exe" service_pid local_service='NT AUTHORITY\LocalService'
    result=$(msiexec /i "$package" "SERVICEACCOUNT=\"$local_service\"")
    check "install as $local_service: $result" [ "$(exit_of "$result")" = 0 -a "$(account)" = "$local_service" ]
    check "the recovery settings were made with the system's sc.exe" ran SetRecovery 1
    # Every account that needs no password is carried: set on the installed service as by hand,
    # a repair without SERVICEACCOUNT takes it, as an upgrade does (the same condition carries it).
    for account in 'NT AUTHORITY\NetworkService' 'NT SERVICE\Pelmorane' 'CORP\svc-pelmorane$' "$local_service"; do
        wine reg add "$service_key" /v ObjectName /d "$account" /f >/dev/null
        result=$(repair "$package")
        check "a repair of the service as $account: $result, taking that account" \
            eval '[ "$(exit_of "$result")" = 0 ] && took "$account"'
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

    # With its interface sequence run, as a double-click runs it: Wine draws with no display.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
    child=$(child_started_last) service_pid=$(field pid "$(svc query Pelmorane)")
    result=$(ui=/qr msiexec /i "$later")
    check "upgrade to $later_version with its reduced interface (/qr): $result" [ "$(exit_of "$result")" = 0 ]
    check "which ran the interface sequence" grep -q 'Action start .*: ExecuteAction\.' "$work/msiexec.log"
    check "the old child received WM_QUIT" await "^[0-9]+ $child quit$" 1
    status=$(svc query Pelmorane)
    check "a new service process runs" [ "$(field state "$status")" = 4 -a "$(field pid "$status")" != "$service_pid" ]
    check "the new package's files, byte for byte, and the service runs" intact "$later"
    check "one service process, one child, kiv.exe still there, one product entry" \
        [ "$(count_of pelmorane.exe) $(companions) $(product_entries)" = "1 $(child_started_last) 1" \
        -a -f "$service_dir/kiv.exe" ]
    check "the account is kept without SERVICEACCOUNT" [ "$(account)" = "$local_service" ]

    child=$(child_started_last) service_pid=$(field pid "$status")
    result=$(msiexec /i "$package")
    check "downgrade: refused, $result" [ "$(exit_of "$result")" = 1603 ]
    check "nothing changed: the same service process and child" \
        [ "$(field pid "$(svc query Pelmorane)") $(companions)" = "$service_pid $child" ]
    check "and the same exe" grep -qx "value FileVersion=$later_version" \
        <<<"$(probe version "$service_dir/pelmorane.exe")"
    check "the package says why" grep -q "A newer version of Pelmorane is installed" \
        <<<"$(msiinfo export "$work/$package" LaunchCondition)"

    result=$(msiexec /x "$later")
    check "removal: $result" [ "$(exit_of "$result")" = 0 ]
    check "the child received WM_QUIT" await "^[0-9]+ $child quit$" 1
    check "the service no longer exists" no_service
    check "pelmorane.exe is gone, with its process, kiv.exe's and the product entry" \
        [ ! -e "$service_dir/pelmorane.exe" -a "$(count_of pelmorane.exe) $(count_of kiv.exe)" = "0 0" \
        -a "$(product_entries)" = 0 ]
    check "the operator's kiv.exe is left" [ -f "$service_dir/kiv.exe" ]

    result=$(msiexec /i "$package")
    check "installed once more, with no SERVICEACCOUNT: $result, as LocalSystem" \
        [ "$(exit_of "$result")" = 0 -a "$(account)" = LocalSystem ]
    check "and the kiv.exe already there runs" eventually 10 runs_with_new_child

    wine reg add "$service_key" /v ObjectName /d '.\someone' /f >/dev/null # as if set by hand
    result=$(repair "$package")
    check "a repair of a service whose account has a password is refused: $result" \
        [ "$(exit_of "$result")" = 1603 -a "$(account)" = '.\someone' ]
    result=$(msiexec /i "$package")
    check "msiexec /i again on the installed package passes: $result" [ "$(exit_of "$result")" = 0 ]
    service_pid=$(field pid "$(svc query Pelmorane)")
    result=$(msiexec /i "$later")
    check "an upgrade from an account with a password is refused: $result" [ "$(exit_of "$result")" = 1603 ]
    check "nothing changed" [ "$(account) $(field pid "$(svc query Pelmorane)") $(product_entries)" = \
        ".\someone $service_pid 1" ]
    check "by a launch condition, which asks for SERVICEACCOUNT" refused_by LaunchConditions
    check "the package's message asks for SERVICEACCOUNT" grep -q "needs a password.*SERVICEACCOUNT=" \
        <<<"$(msiinfo export "$work/$later" LaunchCondition)"
    result=$(msiexec /i "$later" SERVICEACCOUNT=LocalSystem)
    # The upgrade keeps the service, which Wine's InstallServices does not reconfigure: its account
    # stays as it was here, where Windows sets the one the install took.
    check "given SERVICEACCOUNT=LocalSystem, it upgrades: $result" [ "$(exit_of "$result")" = 0 ]
    check "taking LocalSystem" took LocalSystem
    result=$(msiexec /x "$later")
    check "its removal, from an account with a password: $result" [ "$(exit_of "$result")" = 0 ]
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
    result=$(msiexec /i "$later_kiv")
    check "the package with kiv.exe installs: $result" [ "$(exit_of "$result")" = 0 ]
    child=""
    check "its child runs right away" eventually 10 runs_with_new_child
    result=$(msiexec /x "$later_kiv")
    check "removal: $result" [ "$(exit_of "$result")" = 0 ]
    check "every file it installed is gone" [ ! -e "$service_dir/pelmorane.exe" -a ! -e "$service_dir/kiv.exe" ]
    check "and the service" no_service
}

# One owner for the service: neither a service registered by hand nor another package line. And
# a registration that fails fails the install where it happens.
packages.one-owner() {
    local arch other service_pid entries
    arch=$(package_arch)
    msi_prefix "$arch"
    windows_cmd 'sc create Other binPath= C:\other.exe DisplayName= Pelmorane' >/dev/null
    result=$(msiexec /i "$package")
    check "with the display name taken, the registration fails the install: $result" \
        [ "$(exit_of "$result")" = 1603 ]
    check "at InstallServices" ran InstallServices 03
    check "nothing is left" [ ! -e "$service_dir/pelmorane.exe" -a "$(product_entries)" = 0 ]
    windows_cmd "sc delete Other" >/dev/null

    mkdir "$WINEPREFIX/drive_c/pelmorane"
    cp "$service_exe" "$WINEPREFIX/drive_c/pelmorane/"
    svc create Pelmorane 'C:\pelmorane\pelmorane.exe' >/dev/null # as from the ZIP, for manual start
    result=$(msiexec /i "$package")
    check "with a service registered by hand, the package refuses: $result" [ "$(exit_of "$result")" = 1603 ]
    check "nothing changed" [ ! -e "$service_dir" -a "$(product_entries)" = 0 -a \
        "$(reg_value "$service_key" ImagePath)" = 'C:\pelmorane\pelmorane.exe' ]
    reboot_prefix
    # PlugPlay is one of the automatic services that Wine's services.exe starts with the prefix.
    check "after a reboot, once the automatic services run" eventually 30 \
        eval 'has "$(svc query PlugPlay)" state=4 2>/dev/null'
    check "a service for manual start stays stopped" \
        [ "$(reg_value "$service_key" Start) $(field state "$(svc query Pelmorane)")" = "0x3 1" ]
    windows_cmd "sc delete Pelmorane" >/dev/null
    result=$(msiexec /i "$package")
    check "after sc delete it installs: $result" [ "$(exit_of "$result")" = 0 ]

    # Another line: the x86 package beside the x64 one, or the x86 line with kiv.exe.
    other=$later_kiv
    if [ $arch = x64 ]; then
        other=pelmorane-$PROJECT_VERSION-x86.msi view=/reg:32
        cp "$root/dist/$other" "$work/"
    fi
    service_pid=$(field pid "$(svc query Pelmorane)")
    entries=$(product_entries)
    result=$(msiexec /i "$other")
    check "with the $arch package installed, $other refuses: $result" [ "$(exit_of "$result")" = 1603 ]
    check "nothing changed: the same service process, as many product entries" \
        [ "$(field pid "$(svc query Pelmorane)") $(product_entries)" = "$service_pid $entries" ]
}

# Only an administrator chooses the folder or the account. Under Wine every user is one (AdminUser
# is always 1), so a copy of the package whose refusal reads TESTADMINUSER in its place stands for
# a user who is not, elevated by policy: what that user chooses is refused with nothing installed,
# what the package would take anyway passes, and so does an administrator's choice and any removal.
packages.chosen-by-administrators() {
    msi_prefix "$(package_arch)"
    local condition as_user=as-user.msi row code given default="$program_files\Pelmorane"
    condition=$(table "$work/$package" InstallExecuteSequence |
        awk -F'\t' '$1 == "OnlyAdministratorsChoose" && $2 ~ /^NOT AdminUser / { print $2 }')
    [ -n "$condition" ] || fail "no action refuses where AdminUser is not set"
    check "AdminUser says whether the user really is an administrator: MSIUSEREALADMINDETECTION=1" \
        grep -qx $'MSIUSEREALADMINDETECTION\t1' <(table "$work/$package" Property)
    cp "$work/$package" "$work/$as_user"
    msibuild "$work/$as_user" -q "UPDATE InstallExecuteSequence SET Condition = 'NOT TESTADMINUSER${condition#NOT AdminUser}' WHERE Action = 'OnlyAdministratorsChoose'"
    for row in "1603 INSTALLFOLDER=\"C:\\Elsewhere\"" "1603 SERVICEACCOUNT=\"NT AUTHORITY\\LocalService\"" \
        "0 TESTADMINUSER=1 INSTALLFOLDER=\"C:\\Elsewhere\" SERVICEACCOUNT=\"NT AUTHORITY\\LocalService\"" \
        "0 INSTALLFOLDER=\"$default\" SERVICEACCOUNT=LocalSystem"; do
        code=${row%% *} given=${row#* }
        result=$(msiexec /i "$as_user" "$given")
        check "as a user, $given: $result" [ "$(exit_of "$result")" = "$code" ]
        if [ "$code" = 1603 ]; then
            check "refused before the script, with nothing installed" \
                eval 'refused_by OnlyAdministratorsChoose && [ "$(product_entries)" = 0 ]'
        else
            result=$(msiexec /x "$as_user" "SERVICEACCOUNT=\"NT AUTHORITY\\NetworkService\"")
            check "and a user's removal, whatever it gives: $result" [ "$(exit_of "$result")" = 0 ]
        fi
    done
    # An administrator's transform, stood in for by the package's own rows: its folder and
    # account are no user's choice.
    cp "$work/$as_user" "$work/site.msi"
    msibuild "$work/site.msi" -q "INSERT INTO Property (Property, Value) VALUES ('SiteInstallFolder', 'C:\Site Folder')" \
        -q "INSERT INTO Property (Property, Value) VALUES ('SiteServiceAccount', 'NT AUTHORITY\NetworkService')"
    result=$(msiexec /i site.msi 'INSTALLFOLDER="C:\Elsewhere"')
    check "but what a user gives beside them is judged: $result" \
        eval '[ "$(exit_of "$result")" = 1603 ] && refused_by OnlyAdministratorsChoose'
    result=$(msiexec /i site.msi)
    check "as a user, with a transform's folder and account: $result, into that folder, as that account" \
        [ "$(exit_of "$result")" = 0 -a -f "$WINEPREFIX/drive_c/Site Folder/pelmorane.exe" -a \
        "$(account)" = 'NT AUTHORITY\NetworkService' ]
    result=$(msiexec /x site.msi)
    check "and its removal: $result" [ "$(exit_of "$result")" = 0 -a ! -e "$WINEPREFIX/drive_c/Site Folder/pelmorane.exe" ]
    result=$(msiexec /i "$as_user" "SERVICEACCOUNT=\"NT AUTHORITY\\LocalService\"" TESTADMINUSER=1)
    check "installed by an administrator as LocalService: $result" [ "$(exit_of "$result")" = 0 ]
    for given in "SERVICEACCOUNT=\"NT AUTHORITY\\LocalService\"" "INSTALLFOLDER=\"$default\\\""; do
        result=$(repair "$as_user" "$given")
        check "as a user, a repair that gives what is installed, $given: $result" [ "$(exit_of "$result")" = 0 ]
    done
    result=$(repair "$as_user" SERVICEACCOUNT=LocalSystem)
    check "but not another account: $result" [ "$(exit_of "$result")" = 1603 ]
}
