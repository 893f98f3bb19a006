#!/usr/bin/env bash
# The scenarios against a stand-in for Wine's loaders that answers --version and otherwise prints
# nothing and exits 0, 1, 124 or 253: a Windows program that never ran. Every scenario that runs
# a Windows program must then fail; only those that read files alone may pass. It waits on
# nothing, so it takes seconds. CTest sets E2E_DIR, BUILD and PROJECT_VERSION, as for run.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
reads_files_alone="artefacts.exe-format artefacts.build-choice guide.msiexec-lines"
dir=$E2E_DIR/silent-loader
rm -rf "$dir"
mkdir -p "$dir/bin"
printf '#!/bin/sh\n[ "$1" != --version ] || { echo wine-8.0; exit 0; }\nexit $SILENT_EXIT\n' \
    >"$dir/bin/loader"
printf '#!/bin/sh\nexit 0\n' >"$dir/bin/wineserver" # the prefix is no prefix: nothing to serve
chmod +x "$dir/bin/loader" "$dir/bin/wineserver"
export E2E_LOADER=$dir/bin/loader PATH=$dir/bin:$PATH PELMORANE_SOAK=1

scenarios=$(sed -n 's/^\(\(artefacts\|service\|guide\|packages\|upgrades\|soak\)\.[a-z0-9.-]*\)() {$/\1/p' \
    "$here"/{artefacts,service,guide,packages,upgrades,soak}.sh)

# with_exit <code>: every scenario against a loader that exits with it, in a folder of its own;
# prints a line a scenario, and one "WRONG: ..." for each that passes or prepares.
with_exit() {
    export SILENT_EXIT=$1 E2E_DIR=$dir/$1
    local name result said
    mkdir -p "$E2E_DIR"
    if "$here/run.sh" prepare >"$E2E_DIR/log" 2>&1; then
        echo "WRONG: prepare passes with a loader that exits $1"
    fi
    echo "exit $1: prepare: $(tail -n 1 "$E2E_DIR/log")"
    # The prefix that the scenarios copy: what wineboot would have written, were it run.
    rm -rf "$E2E_DIR/template"
    mkdir -p "$E2E_DIR/template"
    touch "$E2E_DIR/template"/{system,user,userdef}.reg
    for name in $scenarios; do
        result=0
        "$here/run.sh" "$name" >"$E2E_DIR/log" 2>&1 || result=$?
        case $result in
        0) [[ " $reads_files_alone " == *" $name "* ]] && said="passes: it reads files alone" ||
            { said="PASSES, though a Windows program never ran" && echo "WRONG: $name with exit $1"; } ;;
        77) said="skipped: $(tail -n 1 "$E2E_DIR/log")" ;;
        *) said="fails: $(grep -m1 -vE '^(ok: |run: .* since )' "$E2E_DIR/log")" ;;
        esac
        echo "exit $1: $name $said"
    done
}

# The four side by side: each is a few seconds of work for one core.
begin=$SECONDS
for code in 0 1 124 253; do
    with_exit $code >"$dir/$code.out" &
done
wait
cat "$dir"/{0,1,124,253}.out | grep -v '^WRONG: '
echo "$((SECONDS - begin)) s"
! grep -h '^WRONG: ' "$dir"/*.out >&2 || exit 1
rm -rf "$dir"
echo "every scenario that runs a Windows program fails where none ran"
