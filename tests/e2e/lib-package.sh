# The package scenarios' library: a prefix with the packages of one build, Wine's msiexec as the
# guide runs it, and what the packages leave to be read: Apps & features, the service's account,
# the files, the install's log; and what each package line must hold, read from its tables.
# packages.sh, upgrades.sh and artefacts.sh source it.

# Where each property that a package's server side reads comes from, by its tables.
flow_check=$root/tests/e2e/property_flow.py

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

# msiexec <arguments...>: Wine's msiexec as the guide has it, silent (or at the user interface
# level `ui`), with no restart and a log; answers "exit=<its exit code> ms=<how long it took>".
msiexec() {
    local answer
    rm -f "$work/msiexec.log" # what the checks read is this run's log, or none
    answer=$(windows_cmd "start /wait msiexec $* ${ui:-/qn} /norestart /l*v msiexec.log")
    echo "${answer%%$'\n'*}"
}

# How many entries named Pelmorane Apps & features lists: reg, through cmd, ended with 0, or said
# that the view has no such key (an empty listing is an answer too); "unknown" otherwise, as for a
# crashed, missing or misread reg.
product_entries() {
    local answer
    answer=$(windows_cmd "reg query HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall /s $view 2>&1") ||
        { echo unknown && return 1; }
    if [ "$(exit_of "$answer")" = 0 ]; then
        grep -c 'DisplayName *REG_SZ *Pelmorane$' <<<"$answer" || true
    elif key_missing "$answer"; then
        echo 0
    else
        echo "  reg query of Apps & features: $answer" >&2 && echo unknown && return 1
    fi
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
    local file files=0
    rm -rf "$work/unpacked"
    msiextract -C "$work/unpacked" "$work/$1" >/dev/null || { echo "  msiextract $1 failed" >&2 && return 1; }
    while read -r file; do
        cmp "$file" "$service_dir/${file##*/}" || return 1
        files=$((files + 1))
    done < <(find "$work/unpacked" -type f)
    ((files > 0)) || { echo "  msiextract $1 extracted nothing" >&2 && return 1; }
    has "$(svc query Pelmorane)" state=4
}

# took <account>: the last msiexec run took that account for the service, by its verbose log.
took() {
    logged ServiceAccount "$1"
}

# repair <package> [<properties>...]: a repair of the installed package, as the guide gives it
# for one that takes properties (msiexec /f takes none, and Wine's does not run it).
repair() {
    msiexec /i "$(product_code "$1")" REINSTALL=ALL REINSTALLMODE=omus "${@:2}"
}

# logged <property> <value>: the last msiexec run had that value, by its verbose log.
logged() {
    grep -qxF "Property(S): $1 = $2" "$work/msiexec.log"
}

# unlogged <property>: the last msiexec run had no value for it, by its verbose log, which has
# the properties that it had.
unlogged() {
    grep -q "^Property(S): ProductCode = " "$work/msiexec.log" &&
        ! grep -q "^Property(S): $1 = " "$work/msiexec.log"
}

# refused_by <action>: the last msiexec run failed at that action, before its script, by its log
# (3, or 0 under Wine): LaunchConditions for a launch condition.
refused_by() {
    grep -qE "Action ended .*: $1\. Return value [03]\." "$work/msiexec.log"
}

# ran <action> <return values>: whether the install's script ran the action with such a result
# (1 success; 3 failure, or 0 under Wine), by its log. Wine logs a deferred action when it is
# scheduled and again when the script runs it, at InstallExecute.
ran() {
    sed -n '/Action start .*: InstallExecute\./,$p' "$work/msiexec.log" |
        grep -E "Action ended .*: $1\. Return value [$2]\." >/dev/null # all read: no SIGPIPE
}

# every_line <package> <command that makes it>: what each package line must do, read from its
# tables. It records its folder under HKLM\Software\Pelmorane in its own registry view (64-bit:
# the component's attribute 0x100 and the locator's 0x10) and reads the record back; it finds the
# folder of its arch's installed Service component too (the locator's type 1: its key path is a
# file, and the search gives that file's folder). Its interface sequence searches, keeps and
# judges nothing: on the server side, it searches; sets the folder and the account in turn, the
# default, then what it found, an administrator's transform's, and the operator's, judging the
# operator's before it takes it; then the launch conditions judge, costing follows, and from
# InstallValidate, which settles REMOVE, the refusals, before the script. The server reads nothing
# that the client sets. It stops the service, and waits for it, before it replaces or deletes
# anything: on install and on removal alike.
every_line() {
    local service events flow view=0
    needs "$1" "$2"
    [[ ${1##*/} != *-x64* ]] || view=1
    service=$(table "$1" Component | awk -F'\t' '$1 == "Service" { print $2 }')
    check "${1##*/}: the locator finds its Service component's folder, $service" \
        [ "$(table "$1" CompLocator | xargs) $(table "$1" AppSearch | grep InstalledFolder | xargs)" = \
        "InstalledFolder $service 1 INSTALLEDFOLDER InstalledFolder" ]
    check "the folder is recorded and read back in the line's own registry view" [ "$(table "$1" Registry |
        awk -F'\t' '$2 == 2 && $3 == "Software\\Pelmorane" && $4 == "InstallFolder" && $5 == "[ServiceFolder]" { print $6 }'
        ) $(table "$1" Component | awk -F'\t' '$1 == "FolderRecord" { print int($4 / 256) % 2 }'
        ) $(table "$1" RegLocator | awk -F'\t' '$3 == "Software\\Pelmorane" && $4 == "InstallFolder" { print $1, $2, $5 }'
        ) $(table "$1" AppSearch | grep -c $'^REMEMBEREDFOLDER\tRememberedFolder$')" = \
        "FolderRecord $view RememberedFolder 2 $((2 + 16 * view)) 1" ]
    check "the interface sequence finds the related products and costs, and no more" [ "$(table "$1" InstallUISequence |
        sort -t$'\t' -k3n | cut -f1 | paste -sd' ')" = \
        "FindRelatedProducts ValidateProductID CostInitialize FileCost CostFinalize MigrateFeatureStates ExecuteAction" ]
    check "the server side: searched, folder and account set in turn, judged, costed, then refused from InstallValidate" \
        [ "$(table "$1" InstallExecuteSequence | sort -t$'\t' -k3n | cut -f1 |
        grep -xE 'AppSearch|.*(Folder|Account|Chosen)|LaunchConditions|CostFinalize|InstallValidate|Refuse.*|OnlyAdministratorsChoose|InstallInitialize' |
        paste -sd' ')" = "AppSearch RememberInstallFolder DefaultInstallFolder KeepInstallFolder TakeSiteInstallFolder\
 GivenInstallFolder FolderChosen TakeGivenInstallFolder DefaultServiceAccount KeepServiceAccount TakeSiteServiceAccount\
 AccountChosen TakeGivenServiceAccount LaunchConditions CostFinalize InstallValidate RefuseOtherFolder RefuseNoFolder\
 OnlyAdministratorsChoose InstallInitialize" ]
    check "the refusals that read REMOVE are error actions; only an administrator chooses, by AdminUser with MSIUSEREALADMINDETECTION=1" \
        [ "$(table "$1" Property | grep -c $'^MSIUSEREALADMINDETECTION\t1$') $(table "$1" CustomAction |
        awk -F'\t' '/^(Refuse|OnlyAdministratorsChoose)/ { print $2 }' | xargs) $(table "$1" LaunchCondition | grep -c REMOVE
        ) $(table "$1" InstallExecuteSequence | awk -F'\t' '$1 == "OnlyAdministratorsChoose" { print $2 }')" = \
        '1 19 19 19 0 NOT AdminUser AND (FolderChosen OR AccountChosen) AND NOT REMOVE ~= "ALL"' ]
    flow=$("$flow_check" "$1") || fail "the server takes what the client sets: $flow"
    check "the server reads the folder, the account, and their input: $flow" \
        grep -qE '^the server reads: .* INSTALLFOLDER .* SERVICEACCOUNT .* ServiceAccount ServiceFolder ' <<<"$flow"
    # msidbServiceControlEvent: Start 0x1, Stop 0x2, Delete 0x8, and 0x10, 0x20, 0x80 on removal.
    events=$(table "$1" ServiceControl | awk -F'\t' '$2 == "Pelmorane" { print $3 + 0, $5 }')
    check "the service is stopped and waited for on install and on removal, started on install, deleted on removal: $events" \
        [ "$events" = "$((0x1 | 0x2 | 0x20 | 0x80)) 1" ]
}
