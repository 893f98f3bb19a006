# The package scenarios' library: a prefix with the packages of one build, Wine's msiexec as the
# guide runs it, and what the packages leave to be read: Apps & features, the service's account,
# the files, the install's log. packages.sh and upgrades.sh source it.

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
