#!/usr/bin/env bash
# The scenarios' library against scripted answers, with no Wine: a stand-in for Wine's loader that
# gives each call the next answer of a row, and one for msiextract. Every fault must fail, or answer
# "unknown", and a tool that started must never be run again; each row's control, the same call
# with a sound answer, must pass. CTest sets E2E_DIR, as for run.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib-scenario.sh"
source "$here/lib-package.sh"
work=$E2E_DIR/scripted-answers
rm -rf "$work"
mkdir -p "$work/bin"
# Answer n is a shell snippet, run by call n.
printf '#!/usr/bin/env bash\nn=$(($(cat "$ANSWERS/calls") + 1))\necho $n >"$ANSWERS/calls"\nsource "$ANSWERS/$n"\n' \
    >"$work/bin/loader"
printf '#!/usr/bin/env bash\nsource "$ANSWERS/msiextract"\n' >"$work/bin/msiextract"
printf '#!/bin/sh\nsleep 5\n' >"$work/bin/wineserver" # a server that does not end
chmod +x "$work/bin"/*
export ANSWERS=$work PATH=$work/bin:$PATH
WINELOADER=$work/bin/loader svcctl_exe=svcctl.exe probe_exe=probe.exe view=/reg:64
service_dir=$work/folder WINEPREFIX=$work/prefix
mkdir -p "$service_dir"
echo built >"$service_dir/pelmorane.exe"

svcctl_says() { echo "printf 'begin svcctl\\r\\n$1\\r\\nend ${2:-0}\\r\\n'; exit ${2:-0}"; }
cmd_says() { echo "printf '$1\\r\\n'"; }
extracts() { echo "mkdir -p \"\$2\" && echo $1 >\"\$2/pelmorane.exe\""; }

wrong=0
# row <passes|fails> <loader runs> <command> [<answer>...]: with the loader giving those answers in
# turn (a snippet each), the command passes, or fails or answers "unknown", having run the loader
# that many times.
row() {
    local expected=$1 runs=$2 command=$3 n=0 code=0 answer said outcome=passes
    shift 3
    echo 0 >"$work/calls"
    for answer; do
        n=$((n + 1))
        echo "$answer" >"$work/$n"
    done
    answer=$(eval "$command" 2>"$work/said") || code=$?
    [ $code -eq 0 ] && [ "$answer" != unknown ] || outcome=fails
    said=$(grep -v '^ *expected\|^ *[0-9]* is not' "$work/said" | head -n 1) || true
    if [ $outcome = "$expected" ] && [ "$(cat "$work/calls")" = "$runs" ]; then
        echo "ok: $command $outcome (loader runs: $runs)${said:+: $said}"
    else
        echo "WRONG: $command $outcome (loader runs: $(cat "$work/calls")); expected: $expected ($runs)" >&2
        wrong=$((wrong + 1))
    fi
}

echo "run_tool, by svc query:"
row passes 1 "svc query Pelmorane" "$(svcctl_says state=4)"
row fails 2 "svc query Pelmorane" "exit 0" "exit 1"
row passes 2 "svc query Pelmorane" "exit 1" "$(svcctl_says state=4)"
row fails 1 "svc query Pelmorane" "printf 'begin svcctl\\r\\n'; exit 5"
row fails 1 "svc query Pelmorane" "printf '\\033[0m'; $(svcctl_says state=4)"
row fails 1 "svc query Pelmorane" "printf 'begin svcctl\\r\\nstate=4\\r\\nend 0\\r\\nbegin svcctl\\r\\nend 0\\r\\n'"
row fails 1 "svc query Pelmorane" "printf 'state=4\\r\\n'" # a build of svcctl without the protocol

echo "windows_cmd, by product_entries and no_key:"
row passes 1 product_entries "$(cmd_says '\r\nexit=0')"
row passes 1 product_entries "$(cmd_says 'reg: Unable to find the specified registry key\r\nexit=1')"
for code in -1073741819 9009 1; do
    row fails 1 product_entries "$(cmd_says "exit=$code")"
done
row fails 1 product_entries "$(cmd_says 'exit=0\r\nexit=0 is not the last line')"
row passes 1 "no_key 'HKLM\\Software\\Pelmorane'" "$(cmd_says 'reg: Unable to find the specified registry key\r\nexit=1')"
row fails 1 "no_key 'HKLM\\Software\\Pelmorane'" "$(cmd_says 'reg: Invalid syntax.\r\nexit=1')"

echo "a value read to compare with later, msiexec's log, the prefix's server:"
row passes 1 'field pid "$(svc query Pelmorane)"' "$(svcctl_says 'state=4 pid=32')"
row fails 2 'field pid "$(svc query Pelmorane)"' "exit 0" "exit 0"
echo "Action ended 12:00:00: LaunchConditions. Return value 3." >"$work/msiexec.log" # a stale one
row fails 1 "msiexec /i p.msi >/dev/null; refused_by LaunchConditions" "$(cmd_says 'exit=1603')"
row fails 0 "step_cap=1 server_ended"

echo "intact, no_service and count_of:"
echo p >"$work/p.msi"
extracts built >"$work/msiextract"
row passes 1 "intact p.msi" "$(svcctl_says state=4)"
echo "exit 1" >"$work/msiextract"
row fails 0 "intact p.msi"
echo 'mkdir -p "$2"' >"$work/msiextract"
row fails 0 "intact p.msi"
extracts changed >"$work/msiextract"
row fails 0 "intact p.msi"
row passes 1 no_service "$(svcctl_says error=1060 1)"
row fails 1 no_service "$(svcctl_says error=5 1)"
row passes 1 "count_of kiv.exe" "printf 'begin probe\\r\\ncount=0\\r\\nend 0\\r\\n'"
row fails 1 "count_of kiv.exe" "printf 'begin probe\\r\\nend 0\\r\\n'"

[ $wrong -eq 0 ] || { echo "$wrong rows wrong" >&2 && exit 1; }
rm -rf "$work"
echo "every fault fails or answers unknown, and no tool that started ran twice"
