#!/bin/bash
# Download cap benchmark: the launcher's download engine (bench_speedcap: XDManager's ten piece
# connections, as the launcher runs them) under the player's cap of 2 and of 20 MiB/s, fetching from
# nginx on 127.0.0.1 (tools/stack, uncapped). For each cap it prints the rate the engine received
# over 10 s after the first 5 s against the cap, the longest stall of the thread that runs the
# engine's signals (the launcher's GUI thread), and how long a change of the cap (2 -> 20 and
# 20 -> 2 MiB/s) takes to show in the rate (the first 250 ms window within 10 % of the new cap after
# which every window stays within it) and in the speed the page shows, refreshed once a second: the
# speeds of the refreshes after the change and the second one against the new cap, beside what the
# page's smoothing shows without its new start at a change. The reference is aria2c with its overall
# download limit at the same cap and ten connections, its rate read from the bytes it read from its sockets (/proc/PID/io).
#
# Usage: bench/run-speedcap.sh [build-dir]
#   BENCH_DATA_DIR  keep the generated files here and reuse them (default: a temp dir)
#   BENCH_RUNS      runs of each cap, every one printed, the median quoted (default 3)
#
# The stall figures are set beside an idle 10 ms timer's worst lateness on the same machine just
# before each run: on a loaded machine that is the floor.
#
# Needs nginx (Debian nginx-light), aria2c, md5sum, python3.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
runs=${BENCH_RUNS:-3}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "BENCH_RUNS must be a positive number" >&2; exit 2; }
# shellcheck source=bench/cdn.sh
. "$root/bench/cdn.sh"
need_tools nginx aria2c md5sum python3
build_targets bench_speedcap kv-sink
engine="$build/bench/bench_speedcap"


make_work speedcap

mib=1048576
# Enough for 18 s at 20 MiB/s with room to spare.
files=(e.pak f.pak)
random_release 256 "${files[@]}"

start_cdn "$data" "v1_${files[0]}"

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }

# One engine run: cap, new cap; leaves its figures in $work/engine.txt.
run_engine() {
    rm -rf "$work/out"
    mkdir -p "$work/out"
    if ! KESTRIVANE_TEST_CDN_BASE_URL=$base "$engine" "$work/out" "$work/list.txt" "$1" "$2" >"$work/engine.txt" 2>"$work/engine.err"; then
        echo "bench_speedcap failed:" >&2
        cat "$work/engine.err" >&2
        exit 1
    fi
}
figure() { awk -F': ' -v k="$1" '$1 == k { split($2, a, " "); print a[1] }' "$work/engine.txt"; }

# aria2c under its overall limit, both files one after the other: the bytes it has on the disk
# (blocks allocated, without its disk cache or preallocation) at 5 and at 15 s.
run_aria2() {
    rm -rf "$work/out"
    mkdir -p "$work/out"
    printf '%s\n' "${files[@]/#/${base}v1_}" >"$work/urls.txt"
    aria2c -q -x10 -s10 -k4M -j1 --file-allocation=none --disk-cache=0 --max-overall-download-limit="$1"M \
        -d "$work/out" -i "$work/urls.txt" &
    local pid=$! a b
    sleep 5
    a=$(du -s -B1 "$work/out" | cut -f1)
    sleep 10
    b=$(du -s -B1 "$work/out" | cut -f1)
    if ! kill "$pid" 2>/dev/null; then
        echo "aria2c ended before its rate could be read" >&2
        exit 1
    fi
    wait "$pid" 2>/dev/null || true
    awk -v a="$a" -v b="$b" -v m="$mib" 'BEGIN { printf "%.3f\n", (b - a) / 10 / m }'
}

# The machine's own stalls: the worst lateness of an idle 10 ms timer over 18 s, just before.
idle_stall() {
    python3 - <<'PY'
import time
start = prev = time.monotonic()
worst = 0.0
while prev - start < 18:
    time.sleep(0.01)
    now = time.monotonic()
    worst = max(worst, now - prev - 0.01)
    prev = now
print("%.1f" % (worst * 1000))
PY
}

declare -A summary
for pair in "2 20" "20 2"; do
    read -r cap next <<<"$pair"
    rates=() stalls=() applies=() ratios=() shown=() smoothed=()
    idles=()
    for run in $(seq 1 "$runs"); do
        idles+=("$(idle_stall)")
        run_engine "$cap" "$next"
        echo "# engine, cap $cap MiB/s, run $run"
        cat "$work/engine.txt"
        rates+=("$(figure received_5_to_15_s)")
        stalls+=("$(figure longest_gui_stall)")
        applies+=("$(figure cap_change_applied_in)")
        ratios+=("$(figure received_vs_cap)")
        shown+=("$(figure shown_second_refresh_vs_new_cap)")
        smoothed+=("$(figure smoothed_only_second_refresh_vs_new_cap)")
    done
    aria=$(run_aria2 "$cap")
    echo "# aria2c, overall limit ${cap}M: $aria MiB/s received 5..15 s"
    summary[$cap]=$(printf '%s\n' \
        "cap_${cap}_received: $(printf '%s\n' "${rates[@]}" | median) MiB/s (median of $runs)" \
        "cap_${cap}_longest_gui_stall: $(printf '%s\n' "${stalls[@]}" | sort -n | tail -1) ms (worst of $runs)" \
        "idle_timer_longest_stall: $(printf '%s\n' "${idles[@]}" | sort -n | tail -1) ms (the machine's own, worst of $runs)" \
        "cap_change_${cap}_to_${next}_applied_in: $(printf '%s\n' "${applies[@]}" | median) ms (median of $runs)" \
        "cap_change_${cap}_to_${next}_shown_second_refresh_vs_new_cap: $(printf '%s\n' "${shown[@]}" | median) (median of $runs)" \
        "cap_change_${cap}_to_${next}_smoothed_only_second_refresh_vs_new_cap: $(printf '%s\n' "${smoothed[@]}" | median) (median of $runs)" \
        "aria2c_cap_${cap}_received: $aria MiB/s" \
        "ratio_cap_${cap}_received_vs_cap: $(printf '%s\n' "${ratios[@]}" | median)" \
        "ratio_cap_${cap}_aria2c_vs_cap: $(awk -v a="$aria" -v c="$cap" 'BEGIN { printf "%.4f", a / c }')")
done
echo "# summary"
echo "${summary[2]}"
echo "${summary[20]}"
