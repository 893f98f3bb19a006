# Artefact scenarios: the built executables, their version resource, the build's package read
# without running it, and which build the Wine library chooses here. None needs a prepared prefix.
source "$(dirname "${BASH_SOURCE[0]}")/lib-package.sh"

# fs_reads_only <i386 executable or object>: lists every fs-relative instruction of its
# disassembly, and passes only where each reads: an SEH frame is registered by a write to fs:0,
# which NO_SEH would make a crash. Writes through a register loaded from fs:0x18 (the TEB's own
# address) count as writes to fs; a call or a return ends what is known of the registers.
fs_reads_only() {
    i686-w64-mingw32-objdump -d --no-show-raw-insn "$1" | awk -F'\t' '
        # The operands, split at the commas outside brackets; AT&T puts the destination last.
        function split_operands(text, operands,   i, c, depth, n) {
            n = 1; operands[1] = ""; depth = 0
            for (i = 1; i <= length(text); i++) {
                c = substr(text, i, 1)
                if (c == "(") depth++
                if (c == ")") depth--
                if (c == "," && depth == 0) { operands[++n] = ""; continue }
                operands[n] = operands[n] c
            }
            return n
        }
        $1 ~ /^ *[0-9a-f]+:$/ && NF >= 2 {
            mnemonic = $2; sub(/ .*/, "", mnemonic)
            text = $2; sub(/^[a-z0-9]+ */, "", text); sub(/ *#.*/, "", text)
            n = split_operands(text, operands); last = operands[n]
            reads = mnemonic ~ /^(cmp|test|push|call|jmp|j[a-z]+|bt)/
            if (text ~ /%fs:/) {
                written = last ~ /%fs:/ && !reads
                print (written ? "writes fs: " : "reads fs:  ") $2
                if (written) bad = 1
                if (mnemonic ~ /^mov/ && operands[1] == "%fs:0x18" && last ~ /^%e[a-z]+$/) teb[last] = 1
                next
            }
            for (register in teb) {
                if (last ~ "\\(" register "[,)]" && !reads) { print "writes through the TEB: " $2; bad = 1 }
                if (last == register) delete teb[register]
            }
            if (mnemonic ~ /^(call|ret)/) split("", teb)
        }
        END { exit bad }'
}

# The executable as built; on x86, its code registers no SEH frame, as NO_SEH promises.
artefacts.exe-format() {
    name_build "$BUILD"
    announce "checks" "it is a test of the $BUILD preset"
    echo "reads ${service_exe#"$root"/}"
    exe_format "$service_exe" "$BUILD"
    [ "$BUILD" = win32 ] || return 0
    check "its code only reads fs: it registers no SEH frame" fs_reads_only "$service_exe"
    make_work
    printf 'pushl %%fs:0\nmovl %%esp, %%fs:0\n' | i686-w64-mingw32-as -o "$work/frame.o"
    check "an object that registers one (mov %esp,%fs:0) fails that check" \
        eval '! fs_reads_only "$work/frame.o"'
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

# manifest_values <manifest>: what it asks of Windows, parsed as XML with its namespaces.
manifest_values() {
    python3 - "$1" <<'PARSE'
import sys
import xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
asm1, asm3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
compatibility = "{urn:schemas-microsoft-com:compatibility.v1}"
settings = "{http://schemas.microsoft.com/SMI/2019/WindowsSettings}"
print(root.tag == asm1 + "assembly" and root.get("manifestVersion"))
print(root.find(f"{asm3}trustInfo/{asm3}security/{asm3}requestedPrivileges/"
                f"{asm3}requestedExecutionLevel").get("level"))
print(*(os.get("Id") for os in root.findall(f"{compatibility}compatibility/"
                                            f"{compatibility}application/{compatibility}supportedOS")))
print(root.find(f"{asm3}application/{asm3}windowsSettings/{settings}activeCodePage").text)
PARSE
}

# The version resource and the application manifest as stored, read by the build's own probe,
# or where Wine cannot run that build here, by the probe of the build that it runs.
artefacts.exe-resources() {
    local exe info revision hex
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

    local manifest=$root/resources/application.manifest windows_7_to_10
    windows_7_to_10="{35138b9a-5d96-4fbd-8e2d-a2440225f93a} {4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"
    windows_7_to_10+=" {1f676c76-80e1-4239-95bb-83d0f6d0da78} {8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
    for exe in "$exe" "$root/build/$BUILD/tools/kiv.exe"; do
        hex=$(probe manifest "$exe") || fail "${exe#"$root"/} has no manifest"
        printf '%b' "$(sed 's/../\\x&/g' <<<"$hex")" >"$work/manifest"
        check "${exe#"$root"/}: its manifest is resources/application.manifest, byte for byte" \
            cmp "$work/manifest" "$manifest"
    done
    check "which asks for the UTF-8 code page, as invoker, on Windows 7 to 10" \
        [ "$(manifest_values "$work/manifest" | paste -sd'|')" = "1.0|asInvoker|$windows_7_to_10|UTF-8" ]
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
# the operator's guide gives them, and what packaging/complete-package.py adds: the descriptors of
# the service and its folder (read by the platform's own parser), the vital registration, the
# secure account and the recovery action.
artefacts.package-tables() {
    local arch platform package properties guide code value folder sddl parsed step names
    arch=$(package_arch)
    platform=${arch/x86/Intel}
    package=$root/dist/pelmorane-$PROJECT_VERSION-$arch.msi
    needs "$package" scripts/release.sh
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
        "FolderAccess ServiceFolder CreateFolder ServiceAccess Pelmorane ServiceInstall ServiceFolder Service" ]
    check "no LockPermissions table beside them" [ -z "$(msiinfo tables "$package" | grep -x LockPermissions)" ]
    # User-defined control, start, stop, pause and continue, change config, DELETE, WRITE_DAC,
    # WRITE_OWNER.
    descriptor ServiceAccess 0xD0172 "control, start, stop or change the service"
    check "the guide's sc.exe sdset gives it, character for character" \
        grep -qxF "sc.exe sdset Pelmorane \"$sddl\"" <<<"$(sed 's/^ *//' <<<"$guide")"
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
    value+=" $(sed -n 's/^SecureCustomProperties\t//p' <<<"$properties" | tr ';' '\n' |
        grep -xE 'SERVICEACCOUNT|INSTALLFOLDER' | sort | paste -sd' ')"
    check "SERVICEACCOUNT, with no default, and INSTALLFOLDER are secure, each once" \
        [ "$value" = "0 INSTALLFOLDER SERVICEACCOUNT" ]
    every_line "$package" scripts/release.sh
    every_line "$(later_release)/pelmorane-$(later_version)-$arch-with-kiv.msi" \
        "scripts/release.sh --version $(later_version) --companion <kiv.exe>"
    # The flow check itself: an interface sequence that searches again, or keeps the found folder.
    for step in "AppSearch 50:INSTALLEDFOLDER INSTALLEDSERVICEACCOUNT REMEMBEREDFOLDER SERVICEIMAGEPATH" \
        "KeepInstallFolder 53:ServiceFolder"; do
        names=${step#*:} step=${step%:*}
        cp "$package" "$work/client.msi"
        msibuild "$work/client.msi" -q "INSERT INTO InstallUISequence (Action, Sequence) VALUES ('${step% *}', ${step#* })"
        ! value=$("$flow_check" "$work/client.msi") || fail "${step% *} in the client passes"
        check "${step% *} in the interface sequence fails the flow check, naming $names" [ "$(grep \
            ': set in the interface sequence by ' <<<"$value" | cut -d: -f1 | xargs)" = "$names" ]
    done
    folder=SystemFolder
    [ "$arch" = x86 ] || folder=System64Folder
    # Besides the actions that set a property (51) and the one that refuses (19).
    value=$(sed -n 's/^ *sc\.exe \(failure .*\)$/\1/p' <<<"$guide")
    check "one custom action runs the system's sc.exe from $folder, deferred, as the system: $value" \
        [ "$(table "$package" CustomAction | grep -vE $'\t(51|19)\t' | cut -f1-4)" = \
        "SetRecovery"$'\t'"3106"$'\t'"$folder"$'\t'"\"[$folder]sc.exe\" $value" ]
    check "$folder is a folder of the package" grep -qx "$folder"$'\tTARGETDIR\t.' <<<"$(table "$package" Directory)"
    check "after InstallServices, before StartServices, not on removal" \
        [ "$(table "$package" InstallExecuteSequence | sort -t$'\t' -k3n | grep -A1 -B1 SetRecovery |
        cut -f1-2 | tr '\t' ' ' | paste -sd'|')" = \
        'InstallServices VersionNT|SetRecovery NOT REMOVE~="ALL"|StartServices VersionNT' ]
    check "an older version is removed inside the script, after InstallExecute" \
        [ "$(table "$package" InstallExecuteSequence | sort -t$'\t' -k3n | grep -A1 -B1 RemoveExistingProducts |
        cut -f1 | paste -sd'|')" = 'InstallExecute|RemoveExistingProducts|InstallFinalize' ]
    check "pelmorane.exe is versioned: $PROJECT_VERSION.0, language 1033, and has no hash" \
        [ "$(table "$package" File | cut -f1,5,6 | xargs) $(table "$package" MsiFileHash | wc -l)" = \
        "pelmorane.exe $PROJECT_VERSION.0 1033 0" ]
}

# chosen <PELMORANE_ARCH> <32-bit loader>: the build chosen with these, or what stopped it.
chosen() {
    (PELMORANE_ARCH=$1 wine32_loader=$2 && choose_build 2>&1 && echo "$build")
}

artefacts.build-choice() {
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
