#!/usr/bin/env bash
# The demo, behind scripts/demo.sh: runs the service under Wine's service control manager with
# the sample companion, and tells what happens: the start, the child's process id, a
# restart with control code 128, and the stop. Then removes the service. Needs the builds
# (scripts/demo.sh makes them).
#
#   scripts/demo.sh            runs until Ctrl+C
#   scripts/demo.sh <seconds>  runs for that long
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-0}

source tools/wine-service.sh
kept_prefix runs demo
service_dir=$WINEPREFIX/drive_c/pelmorane

say() {
    local ms=$(($(date +%s%3N) - begin))
    printf '[%3d.%d s] %s\n' $((ms / 1000)) $((ms % 1000 / 100)) "$*"
}

state_name() {
    case $1 in 1) echo STOPPED ;; 2) echo START_PENDING ;; 4) echo RUNNING ;; 7) echo PAUSED ;;
    *) echo "state $1" ;; esac
}

describe() {
    echo "$(state_name "$(field state "$1")"), controls accepted $(field accepted "$1"), exit codes" \
        "$(field win32 "$1")/$(field specific "$1")"
}

# The process id of the last child started.
child() {
    last_started "$service_dir/kiv.log"
}

# What the companion's record says became of child <pid>.
fate() {
    case $(awk -v pid="$1" '$2 == pid && $3 != "started" { event = $3 } END { print event }' \
        "$service_dir/kiv.log") in
    quit) echo "received WM_QUIT and ended" ;;
    quit-ignored) echo "ignored WM_QUIT and was terminated" ;;
    exited) echo "had ended by itself" ;;
    *) echo "was terminated" ;;
    esac
}

cleanup() {
    svc delete Pelmorane >/dev/null 2>&1 || true
    shut_down_prefix
}

begin=$(date +%s%3N)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "Creating a Wine prefix in $WINEPREFIX (once)"
    create_prefix
fi
trap cleanup EXIT
trap 'echo; say "Ctrl+C"; interrupted=1' INT
interrupted=0

mkdir -p "$service_dir"
cp "$service_exe" "$companion_exe" "$service_dir/"
rm -f "$service_dir/kiv.log" "$service_dir/kiv.mode"
keep_prefix_up
svc delete Pelmorane >/dev/null 2>&1 || true
svc create Pelmorane 'C:\pelmorane\pelmorane.exe'
begin=$(date +%s%3N) # from here on, times count from the service's registration
say "Service Pelmorane registered: C:\\pelmorane\\pelmorane.exe, with kiv.exe beside it"

status=$(svc start Pelmorane)
say "Started in $(field ms "$status") ms: $(describe "$status"); service process $(field pid "$status")"
svc control Pelmorane 4 >/dev/null # waits for the launch to settle
say "Child kiv.exe running, process id $(child)"

sleep 2
old=$(child)
say "Sending control code 128: restart child 0"
status=$(svc control Pelmorane 128)
say "Restarted in $(field ms "$status") ms: $(describe "$status")"
say "Old child $old $(fate "$old"); new child, process id $(child)"

if [ "$seconds" -gt 0 ]; then
    say "Running until ${seconds} s have passed (Ctrl+C stops sooner)"
else
    say "Running until Ctrl+C"
fi
while [ $interrupted -eq 0 ]; do
    elapsed=$((($(date +%s%3N) - begin) / 1000))
    [ "$seconds" -gt 0 ] && [ "$elapsed" -ge "$seconds" ] && break
    sleep 1 || true # Ctrl+C ends the sleep
    if [ $((elapsed % 5)) -eq 4 ]; then
        say "Status: $(describe "$(svc query Pelmorane)"), child $(child)"
    fi
done

old=$(child)
say "Sending stop"
status=$(svc control Pelmorane 1)
say "Stopped in $(field ms "$status") ms: $(describe "$status")"
say "Child $old $(fate "$old")"
svc delete Pelmorane
say "Service removed"
