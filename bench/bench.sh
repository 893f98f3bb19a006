#!/usr/bin/env bash
# The benchmark, behind scripts/bench.sh: measures the service under Wine's service control
# manager side by side with a do-nothing reference service (bench/reference_service.cpp), built
# with the same toolchain and flags and started, controlled and stopped the same way; also with a
# build of the reference that imports USER32 as the service does. It measures the build that Wine
# runs here (see tools/wine-service.sh), with the reference built for the same architecture.
# Prints a table and writes it, with the machine, the build, the Wine version and the date, to
# bench/results.md. Not part of the tests. Needs the builds (scripts/bench.sh makes them).
#
#   scripts/bench.sh [runs]    each timed figure is the median of <runs> (default 7)
#   scripts/bench.sh --report  writes the table again from the last run's figures
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}

source tests/test-lib.sh # the Wine library, and the release's rules that the table states
kept_prefix measures bench
data=build/bench/$build/data
folder=$WINEPREFIX/drive_c/bench

# record <service> <figure> <value>
record() {
    echo "$3" >>"$data/$1.$2"
}

# ms_of <status line>: the call's duration in ms, to the microsecond.
ms_of() {
    awk -v us="$(field us "$1")" 'BEGIN { printf "%.2f", us / 1000 }'
}

# Starts <service> and waits until its start-up has ended; prints its process id.
start() {
    local status
    status=$(svc start "$1")
    [ "$(field state "$status")" = 4 ] || { echo "bench: $1 did not start: $status" >&2 && exit 1; }
    svc control "$1" 4 >/dev/null
    field pid "$status"
}

stop() {
    local pid=$2 status
    status=$(svc control "$1" 1)
    probe wait-exit "$pid" 10000 >/dev/null
    echo "$status"
}

measure_controls() {
    local service=$1 run pid code status
    for ((run = 1; run <= runs; run++)); do
        status=$(svc start "$service")
        record "$service" start "$(ms_of "$status")"
        pid=$(field pid "$status")
        svc control "$service" 4 >/dev/null # the launch has settled
        for code in 4 2 3 129; do
            record "$service" "control-$code" "$(ms_of "$(svc control "$service" $code)")"
        done
        record "$service" restart "$(ms_of "$(svc control "$service" 128)")"
        record "$service" stop "$(ms_of "$(stop "$service" "$pid")")"
    done
}

measure_idle() {
    local service=$1 exe=$2 pid unix ticks
    pid=$(start "$service")
    unix=$(unix_pid "C:\\bench\\$exe")
    ticks=$(cpu_ticks "$unix")
    sleep 10
    record "$service" idle-ticks $(($(cpu_ticks "$unix") - ticks))
    record "$service" rss "$(rss_kib "$unix")"
    record "$service" unix-pid "$unix"
    stop "$service" "$pid" >/dev/null
}

measure_handles() {
    local service=$1 pid i
    pid=$(start "$service")
    record "$service" handles-before "$(probe handles "$pid")"
    for ((i = 1; i <= 200; i++)); do
        svc control "$service" 128 >/dev/null
    done
    record "$service" handles-after "$(probe handles "$pid")"
    stop "$service" "$pid" >/dev/null
}

# stats <service> <figure>: "median min max" of the recorded values.
stats() {
    sort -g "$data/$1.$2" | awk '{ v[NR] = $1 } END { printf "%s %s %s", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

median() {
    stats "$1" "$2" | cut -d' ' -f1
}

# row <figure> <label> <target text> [<met: awk expression of a (ours) and r (reference)>
#     [<reference service>]]
row() {
    awk -v ours="$(stats Pelmorane "$1")" -v reference="$(stats "${5:-Reference}" "$1")" \
        -v label="$2" \
        -v target="$3" -v judged="${4:+1}" '
        function show(s, parts) {
            split(s, parts, " ")
            if (parts[2] == parts[3]) return parts[1]
            return parts[1] " (" parts[2] "-" parts[3] ")"
        }
        BEGIN {
            split(ours, o, " "); split(reference, p, " ")
            a = o[1] + 0; r = p[1] + 0
            ratio = r > 0 ? sprintf("%.2f", a / r) : "-"
            verdict = !judged ? "" : (('"${4:-1}"') ? "met" : "missed")
            printf "| %s | %s | %s | %s | %s | %s |\n", label, show(ours), show(reference), ratio,
                   target, verdict
        }'
}

measure() {
    rm -rf "$data" "$folder"
    mkdir -p "$data"
    echo "$runs" >"$data/runs"
    git rev-parse --short=12 HEAD >"$data/revision" 2>/dev/null || echo unknown >"$data/revision"
    [ -f "$WINEPREFIX/system.reg" ] || create_prefix
    mkdir -p "$folder"
    cp "$service_exe" "$companion_exe" "$bench_programs"/reference_service*.exe "$folder/"
    trap shut_down_prefix EXIT
    keep_prefix_up
    for service in Pelmorane Reference ReferenceUser32; do
        svc delete "$service" >/dev/null 2>&1 || true # left by an interrupted run
    done
    svc create Pelmorane 'C:\bench\pelmorane.exe' >/dev/null
    svc create Reference 'C:\bench\reference_service.exe' >/dev/null
    svc create ReferenceUser32 'C:\bench\reference_service_user32.exe' >/dev/null

    echo "bench: $runs runs of each timed figure; 10 s of idling; 200 restarts" >&2
    wine "$bench_programs/launch_time.exe" 'C:\bench\kiv.exe' "$runs" | tr -d '\r' |
        awk '{ printf "%.2f\n", $1 / 1000 }' >"$data/Pelmorane.launch"
    cp "$data/Pelmorane.launch" "$data/Reference.launch"
    for service in Pelmorane Reference ReferenceUser32; do
        measure_controls "$service"
    done
    measure_idle Pelmorane pelmorane.exe
    measure_idle Reference reference_service.exe
    measure_idle ReferenceUser32 reference_service_user32.exe
    measure_handles Pelmorane
    measure_handles Reference
    for service in Pelmorane Reference; do
        record "$service" handles-gained \
            $(($(median "$service" handles-after) - $(median "$service" handles-before)))
    done
    record Pelmorane size "$(stat -c %s "$service_exe")"
    record Reference size "$(stat -c %s "$folder/reference_service.exe")"
}

report() {
    imports=$(imports_of "$service_exe")

    launch=$(median Pelmorane launch)
    # A timed figure meets its target within 1.1 times the reference's, or 2 ms more, whichever
    # is the larger allowance.
    near='a <= (r * 1.1 > r + 2 ? r * 1.1 : r + 2)'
    table=$(
        echo "| Figure | Pelmorane: median (min-max) | Reference | Ratio | Target | |"
        echo "|---|---|---|---|---|---|"
        row start "Start request to running report, ms" "1.1x or +2 ms" "$near"
    row start "... against the reference importing USER32" "1.1x or +2 ms" "$near" ReferenceUser32
        row control-4 "Interrogate round trip, ms" "1.1x or +2 ms" "$near"
        row control-2 "Pause round trip, ms" "1.1x or +2 ms" "$near"
        row control-3 "Continue round trip, ms" "1.1x or +2 ms" "$near"
        row control-129 "Code 129 round trip, ms" "1.1x or +2 ms" "$near"
        row stop "Stop with one running companion, ms" "<= 1050" "a <= 1050"
        row restart "Restart (128), ms" "<= $(awk -v l="$launch" 'BEGIN { print 2050 + l }')" \
            "a <= 2050 + $launch"
        row launch "Companion launch (CreateProcessA), ms" "-"
        row size "Executable size, bytes ($imports)" "<= $size_limit, system DLLs only" \
            "a <= $size_limit && \"$imports\" == \"$system_dlls\""
        row rss "Resident memory, KiB" "1.05x" "a <= r * 1.05"
    row rss "... against the reference importing USER32" "1.05x" "a <= r * 1.05" ReferenceUser32
        row idle-ticks "CPU ticks over 10 s idle" "<= reference" "a <= r"
        row handles-before "Handles before 200 restarts" "-"
        row handles-after "Handles after 200 restarts" "-"
        row handles-gained "Handles gained over 200 restarts" "0" "a == 0"
    )
    echo "$table"

    cpu=$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)
    host="runs 32-bit Wine"
    loader_runs "$wine32_loader" wine32:i386 || host="cannot run 32-bit Wine: $why_not"
    cat >bench/results.md <<EOF
# Benchmark results

- Date: $(date -u '+%Y-%m-%d %H:%M UTC')
- Machine: $(uname -srm), $cpu, $(nproc) cores; a host that $host
- Wine: $(wine --version), $(bits_of "$build")-bit loader and prefix
- Service: the $(bits_of "$build")-bit build, ${service_exe#"$root"/}, built at $(cat "$data/revision"),
  and the reference built for the same architecture; chosen since $build_reason
- Runs: the median of $(cat "$data/runs") runs for each timed figure (min-max in brackets); one 10 s idle
  period and one series of 200 restarts per service. The reference has no child: its
  restart and stop are plain reports.
- Resident memory and CPU ticks are read from /proc for the Linux process that hosts each
  service: the process whose command line Wine has set to the service's Windows path and
  whose environment names this prefix (Pelmorane: $(median Pelmorane unix-pid), Reference:
  $(median Reference unix-pid) in this run).
- "The reference importing USER32" is the same reference built to import USER32, which the
  service needs to post WM_QUIT, from a branch that never runs.
- Handles: the service process's entries in NtQuerySystemInformation(SystemHandleInformation).

$table
EOF
    echo "bench: written to bench/results.md" >&2
}

[ "$runs" = --report ] || measure
report
