# Upgrade scenarios: from 1.2.0's packages as released, and from a folder of the operator's
# choice, under Wine's own msiexec; an upgrade keeps the folder, the account and the components.
source "$(dirname "${BASH_SOURCE[0]}")/lib-package.sh"

# refused_for_folder <installed folder>: the last msiexec run was refused, having found that folder
# and been given C:\Elsewhere.
refused_for_folder() {
    refused_by RefuseOtherFolder && logged INSTALLEDFOLDER "$1\\" && logged ServiceFolder 'C:\Elsewhere\'
}

# Upgrades from 1.2.0's packages as released, each as an operator would: installed as
# LocalService into a folder of the operator's choice, with kiv.exe, then the new version of its
# line without the folder: every file that it installs is in that folder with its bytes, none is
# in the default one, kiv.exe is kept, and the service runs as before, its child from there. An
# upgrade or a repair that names another folder is refused; the same folder spelt otherwise is
# not. With the folder gone (deleted, or on a volume not mounted yet), an upgrade that cannot find
# it is refused and changes nothing, and one given it installs there; once this version has
# recorded the folder, a repair, and on the plain line an upgrade, put everything back there.
# Then removal leaves nothing of either, the record included.
upgrades.from-1.2.0() {
    local arch old new released=$root/build/release-1.2.0/dist local_service='NT AUTHORITY\LocalService'
    local chosen='C:\Kiv Host' default_dir away given
    arch=$(package_arch)
    msi_prefix "$arch"
    away=$WINEPREFIX/drive_c/Kiv\ Away
    needs "$released/pelmorane-1.2.0-$arch-with-kiv.msi" \
        "tests/release/make-1.2.0.sh ${companion_exe#"$root"/}"
    default_dir=$service_dir service_dir=$WINEPREFIX/drive_c/Kiv\ Host
    for old in "pelmorane-1.2.0-$arch.msi:$package" "pelmorane-1.2.0-$arch-with-kiv.msi:$later_kiv"; do
        new=${old#*:} old=${old%:*}
        cp "$released/$old" "$work/"
        result=$(msiexec /i "$old" "SERVICEACCOUNT=\"$local_service\"" "INSTALLFOLDER=\"$chosen\"")
        check "$old installs into $chosen: $result" [ "$(exit_of "$result")" = 0 -a -f "$service_dir/pelmorane.exe" ]
        child=""
        if [ ! -e "$service_dir/kiv.exe" ]; then
            cp "$companion_exe" "$service_dir/kiv.exe"
            svc control Pelmorane 128 >/dev/null
        fi
        check "and runs its child" eventually 10 runs_with_new_child
        child=$(child_started_last)
        if [ "$new" = "$package" ]; then
            result=$(msiexec /i "$new" 'INSTALLFOLDER="C:\Elsewhere"')
            check "an upgrade that names another folder is refused: $result" [ "$(exit_of "$result")" = 1603 ]
            check "by the action that compares the two folders" refused_for_folder "$chosen"
            check "nothing changed: 1.2.0 in $chosen" grep -qx "value FileVersion=1.2.0" \
                <<<"$(probe version "$service_dir/pelmorane.exe")"
            check "its child runs on, and nothing is elsewhere" \
                [ "$(companions)" = "$child" -a ! -e "$WINEPREFIX/drive_c/Elsewhere" ]
        fi
        gone_away
        result=$(msiexec /i "$new")
        check "with $chosen gone, an upgrade to $new that names no folder is refused: $result" \
            [ "$(exit_of "$result")" = 1603 ]
        check "by the action that finds no folder" eval 'refused_by RefuseNoFolder && unlogged INSTALLEDFOLDER'
        check "nothing changed: the service names $chosen, 1.2.0 is installed, nothing in the default folder" \
            [ "$(reg_value "$service_key" ImagePath | tr -d '"')" = "$chosen\pelmorane.exe" -a \
            "$(product_entries) $(apps_entry "$old" | cut -d'|' -f2)" = "1 1.2.0" -a ! -e "$default_dir/pelmorane.exe" ]
        # The plain line finds the folder back; the line with kiv.exe is given it, and creates it.
        given="INSTALLFOLDER=\"$chosen\""
        [ "$new" != "$package" ] || { mv "$away" "$service_dir" && given=""; }
        result=$(msiexec /i "$new" ${given:+"$given"})
        check "upgrade to $new ${given:-without INSTALLFOLDER}: $result" [ "$(exit_of "$result")" = 0 ]
        check "its files in $chosen, byte for byte, and the service runs" intact "$new"
        check "no pelmorane.exe in the default folder" [ ! -e "$default_dir/pelmorane.exe" ]
        check "its components are 1.2.0's, the same GUIDs, folders and key paths, and the folder's record" \
            [ "$(components "$new" | grep -v '^FolderRecord ')" = "$(components "$old")" -a \
            "$(components "$new" | wc -l)" = $(($(components "$old" | wc -l) + 1)) ]
        check "with one new child from $chosen, kiv.exe kept, as $local_service, one product entry" \
            [ "$(companions)" = "$(child_started_last)" -a "$(child_started_last)" != "$child" -a \
            -f "$service_dir/kiv.exe" -a "$(account)" = "$local_service" -a "$(product_entries)" = 1 ]
        gone_away
        result=$(repair "$new")
        check "with $chosen gone, once more, the guide's repair line: $result" [ "$(exit_of "$result")" = 0 ]
        puts_back "$new"
        if [ "$new" = "$package" ]; then
            gone_away
            result=$(msiexec /i "$later")
            check "gone again, the upgrade to $later without INSTALLFOLDER: $result" [ "$(exit_of "$result")" = 0 ]
            puts_back "$later"
            new=$later
        fi
        if [ "$new" = "$later_kiv" ]; then
            # As an operator may write it: the guide promises that case and a final backslash
            # do not matter.
            for folder in 'c:\kiv host\' 'C:\KIV HOST'; do
                result=$(repair "$new" "INSTALLFOLDER=\"$folder\"")
                check "a repair that names the folder as $folder: $result" [ "$(exit_of "$result")" = 0 ]
            done
        fi
        result=$(msiexec /x "$new")
        check "removal: $result, no service, no product entry" \
            [ "$(exit_of "$result")" = 0 -a "$(product_entries)" = 0 -a ! -e "$service_dir/pelmorane.exe" ]
        no_service || fail "the service is left"
        check "and no record of the folder" no_key 'HKLM\Software\Pelmorane' "$view"
        rm -rf "$service_dir" "$away"
    done
}

# components <package>: each component's name, GUID, folder (its parent's key and its own name,
# whatever the folder's key), attributes, condition and key path.
components() {
    awk -F'\t' -v OFS=' ' 'NR == FNR { folder[$1] = $2 "\\" $3; next }
        { $3 = folder[$3]; print }' <(table "$work/$1" Directory) <(table "$work/$1" Component) | sort
}

# gone_away: the service stopped and its folder moved away, as if deleted or not yet mounted.
gone_away() {
    svc control Pelmorane 1 >/dev/null
    rm -rf "$away"
    mv "$service_dir" "$away"
}

# puts_back <package>: every file of the package is back in the gone folder, byte for byte, and
# the service runs from there, with nothing in the default folder.
puts_back() {
    check "every file of $1 back in $chosen, byte for byte, and the service runs" intact "$1"
    check "from there, with nothing in the default folder" \
        [ -n "$(unix_pid "$chosen\pelmorane.exe")" -a ! -e "$default_dir/pelmorane.exe" ]
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
# read a batch file in the console's code page), then installed there by the package, and upgraded
# to the later release without naming the folder: it stays there.
upgrades.cyrillic-folder() {
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
    rm -f "$work/msiexec.log"
    (cd "$work" && timeout $step_cap "$WINELOADER" msiexec /i "$package" /qn \
        "INSTALLFOLDER=$folder" /l*v msiexec.log) || code=$?
    check "the package installs into $folder: exit $code" [ "$code" = 0 ]
    cp "$companion_exe" "$service_dir/kiv.exe"
    runs_from_folder "installed by the package into $folder"
    result=$(msiexec /i "$later")
    check "the upgrade to $later_version without INSTALLFOLDER: $result" [ "$(exit_of "$result")" = 0 ]
    check "its files in $folder, byte for byte, and the service runs" intact "$later"
    check "with a new child from there, and no pelmorane.exe in the default folder" \
        [ "$(companions)" = "$(child_started_last)" -a "$(child_started_last)" != "$child" -a \
        ! -e "$WINEPREFIX/drive_c/${program_files#C:\\}/Pelmorane/pelmorane.exe" ]
}
