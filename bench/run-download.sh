#!/bin/bash
# Download benchmark: the launcher's download engine (bench_download) and its whole workflow
# (bench_workflow: version file, every file fetched, verified and recorded as installed in
# config.ini, timed from the first game-file request to the last file recorded, as aria2c's run starts
# with its first file) and the launcher itself with its
# window (offscreen, for its peak memory) against aria2c and curl, all fetching the same generated
# release from nginx on 127.0.0.1.
#
# Usage: bench/run-download.sh [build-dir]
#   BENCH_DATA_DIR  keep the generated release here and reuse it on the next run (default: a temp dir)
#   BENCH_RUNS      measured runs per tool, the median is quoted (default 3)
#   BENCH_CAPPED    0 skips the run against the rate-limited server (default 1)
#   BENCH_CAPPED_CURL 0 skips curl in the capped run (about a minute per run; default: one run)
#   BENCH_KEEP_LOG  copy the figures of every single run to this file
#
# Needs nginx (Debian nginx-light, started through tools/stack), aria2c (aria2), curl and GNU time (/usr/bin/time).
# aria2c runs as a user who wants speed runs it: ten connections, 4 MiB pieces, no preallocation.
# Loopback: files of 512, 256, 128 and 128 MiB. Capped: two files of 128 MiB from a server that
# sends at most 4 MB/s per connection. Every engine run verifies each file's MD5 and writes it; the
# engine's CPU is compared with aria2c's plus md5sum's (aria2c and curl verify nothing). The engine
# also reports the longest stall of its signal thread (the launcher's GUI thread): the worst lateness
# of a 10 ms timer over the run and around the end of the 512 MiB file; and what keeping the resume
# records costs (flushing received pieces to the disk, replacing the record) on its writer threads.
# Beside every tool an idle process runs the same 10 ms timer (bench_stallprobe): its worst lateness
# is the machine's share of a stall, which no program can take away.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
runs=${BENCH_RUNS:-3}
# shellcheck source=bench/cdn.sh
. "$root/bench/cdn.sh"
need_tools nginx aria2c curl md5sum /usr/bin/time
build_targets bench_download bench_workflow bench_stallprobe kv_launcher_envapp kv-publish kv-sink
engine="$build/bench/bench_download"
probe="$build/bench/bench_stallprobe"
workflow="$build/bench/bench_workflow"

make_work download

mib=1048576
declare -A sizes=([a.pak]=512 [b.pak]=256 [c.pak]=128 [d.pak]=128)
files=(a.pak b.pak c.pak d.pak)
capped_files=(c.pak d.pak)

# The release, as the CDN serves it: v1_<name>.
for f in "${files[@]}"; do
    want=$((sizes[$f] * mib))
    if [ ! -f "$data/v1_$f" ] || [ "$(stat -c %s "$data/v1_$f")" != "$want" ]; then
        head -c "$want" /dev/urandom >"$data/v1_$f.tmp"
        mv "$data/v1_$f.tmp" "$data/v1_$f"
    fi
done

# The same files as a release the launcher's workflow reads: a version file beside them (published
# with kv-publish, which also maps the files' blocks once) and the launcher's own entry, never fetched.
if [ ! -f "$data/version3.txt" ] || [ -n "$(find "$data" -maxdepth 1 -name 'v1_*.pak' -newer "$data/version3.txt")" ]; then
    rm -rf "$data/rel" "$data/version3.txt"
    mkdir -p "$data/rel"
    for f in "${files[@]}"; do ln "$data/v1_$f" "$data/rel/$f"; done
    echo launcher >"$data/rel/Kestrivane.exe"
    "$build/bin/kv-publish" --cdn "$data" --release "$data/rel" "${files[@]/%/=1}" Kestrivane.exe=0.11 >"$work/publish.log" ||
        { cat "$work/publish.log" >&2; exit 1; }
fi

write_list() { # list file, names...
    local list=$1
    shift
    : >"$list"
    for f in "$@"; do
        echo "$f $(md5sum "$data/v1_$f" | cut -d' ' -f1) $(stat -c %s "$data/v1_$f")" >>"$list"
    done
}

out="$work/out"
# Runs one download into an empty $out under GNU time; leaves "wall cpu rss_kib" in $measure, and
# in $probe_stall the worst lateness of an idle process's 10 ms timer beside it: what the machine
# itself does to a waiting thread while that download runs.
measure=""
probe_stall=""
start_probe() {
    rm -f "$work/probe.stop"
    "$probe" "$work/probe.stop" >"$work/probe.txt" &
    probe_pid=$!
}
stop_probe() {
    touch "$work/probe.stop"
    wait "$probe_pid"
    probe_stall=$(awk -F': ' '$1 == "probe_stall_max" { split($2, a, " "); print a[1] }' "$work/probe.txt")
}
timed() {
    rm -rf "$out"
    mkdir -p "$out"
    # What the tool before left unwritten (aria2c and curl never sync) is not this tool's to write.
    sync
    start_probe
    /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >"$work/tool.log" 2>&1 || {
        echo "run failed: $*" >&2
        cat "$work/tool.log" >&2
        exit 1
    }
    stop_probe
    read -r wall user sys rss <"$work/time.txt"
    measure="$wall $(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }') $rss"
}

check_output() { # names...
    for f in "$@"; do
        cmp -s "$data/v1_$f" "$out/$f" || { echo "wrong or missing output file $f" >&2; exit 1; }
    done
}

# The engine's own figures of the measured rounds (the warm-up's are dropped before them).
reset_engine_figures() {
    buffered=()
    stalls=()
    end_stalls=()
    records=()
    record_shares=()
    gui_cpus=()
}
reset_engine_figures
run_engine() { # names...
    write_list "$work/list.txt" "$@"
    KESTRIVANE_TEST_CDN_BASE_URL=$base timed "$engine" "$out" "$work/list.txt"
    check_output "$@"
    buffered+=("$(awk -F': ' '$1 == "engine_peak_buffered" { split($2, a, " "); print a[1] }' "$work/tool.log")")
    stalls+=("$(awk -F': ' '$1 == "engine_gui_stall_max" { split($2, a, " "); print a[1] }' "$work/tool.log")")
    end_stalls+=("$(awk -F': ' '$1 == "engine_gui_stall_end_of_largest" { split($2, a, " "); print a[1] }' "$work/tool.log")")
    records+=("$(awk -F': ' '$1 == "engine_record_keeping" { split($2, a, " "); print a[1] }' "$work/tool.log")")
    gui_cpus+=("$(awk -F': ' '$1 == "engine_gui_thread_cpu_per_gib" { split($2, a, " "); print a[1] }' "$work/tool.log")")
    record_shares+=("$(awk -F': ' '$1 == "engine_record_keeping" { split($2, a, ", "); split(a[2], b, " "); print b[1] }' "$work/tool.log")")
}
# Largest of the values.
maximum() { # values...
    printf '%s\n' "$@" | sort -g | tail -n 1
}
# The workflow's own figure is its wall time (first request to last file recorded); CPU and memory
# are the process's.
run_workflow() { # names...
    KESTRIVANE_TEST_CDN_BASE_URL=$base timed "$workflow" "$out" "$base" "http://127.0.0.1:$((port + 1))/log"
    check_output "$@"
    local w files
    read -r w _ _ files < <(grep -E '^[0-9.]+ [0-9.]+ [0-9.]+ [0-9]+$' "$work/tool.log" | tail -n 1)
    [ "$files" = "$#" ] || { echo "the launcher recorded $files of $# files" >&2; exit 1; }
    measure="$w ${measure#* }"
}
# The launcher itself, as the player runs it: its window (offscreen, with only the fonts it ships)
# beside the download, from a fresh install folder, until config.ini records every file; then it is
# asked to leave as a log-off does. Its wall time includes the start-up and the half-second wait
# before the version file; the figure that matters is its peak memory.
window_app="$build/tests/kv_launcher_envapp"
run_window() { # names...
    local install="$work/window" names="$*" waited=0
    rm -rf "$install" "$work/window-config" "$out"
    mkdir -p "$install" "$work/window-config" "$out"
    cp "$window_app" "$install/Kestrivane"
    sync
    start_probe
    env QT_QPA_PLATFORM=offscreen FONTCONFIG_FILE="$root/tests/support/fonts.conf" \
        XDG_CONFIG_HOME="$work/window-config" KESTRIVANE_TEST_CDN_BASE_URL="$base" \
        KESTRIVANE_TEST_LOG_URL="http://127.0.0.1:$((port + 1))/log" \
        KESTRIVANE_TEST_CRASH_UPLOAD_URL="http://127.0.0.1:$((port + 2))/api/crash-logs" \
        KESTRIVANE_TEST_LAUNCHER_VERSION=0.11 \
        /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$install/Kestrivane" >"$work/tool.log" 2>&1 &
    local timer=$!
    # Every name in config.ini's [version] group: the download is over and recorded.
    until [ "$(awk '/^\[/ { v = ($0 == "[version]") } v && /=/ { n++ } END { print n + 0 }' \
        "$install/config.ini" 2>/dev/null || echo 0)" -ge "$#" ]; do
        sleep 0.2
        waited=$((waited + 1))
        if [ "$waited" -gt 1500 ] || ! kill -0 "$timer" 2>/dev/null; then
            echo "the launcher did not record $names within 300 s" >&2
            pkill -KILL -P "$timer" || true
            cat "$work/tool.log" >&2
            exit 1
        fi
    done
    pkill -TERM -P "$timer" || true
    wait "$timer" || true
    stop_probe
    for f in "$@"; do mv "$install/$f" "$out/$f"; done
    check_output "$@"
    read -r wall user sys rss <"$work/time.txt"
    measure="$wall $(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }') $rss"
}
run_aria2() { # names...
    : >"$work/urls.txt"
    for f in "$@"; do echo "${base}v1_$f" >>"$work/urls.txt"; done
    timed aria2c -q -x10 -s10 -k4M -j1 --file-allocation=none -d "$out" -i "$work/urls.txt"
    for f in "$@"; do mv "$out/v1_$f" "$out/$f"; done
    check_output "$@"
}
run_curl() { # names...
    local args=()
    for f in "$@"; do args+=(-o "$out/$f" "${base}v1_$f"); done
    timed curl -s "${args[@]}"
    check_output "$@"
}

# Median of the measured runs.
median() { # values...
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# Runs the tools in turn, n rounds (so that all see the same machine load), then prints the medians.
# Arguments: prefix, bytes, n, then one "label:function" per tool; the functions get the names.
declare -A results probes
bench_round() {
    local prefix=$1 bytes=$2 n=$3 names=$4
    shift 4
    local round tool label fn
    for round in $(seq 1 "$n"); do
        for tool in "$@"; do
            label=${tool%%:*}
            fn=${tool#*:}
            # shellcheck disable=SC2086
            $fn $names
            results[$label]="${results[$label]:-} $measure"
            probes[$label]="${probes[$label]:-} $probe_stall"
            echo "run $round $prefix$label: $measure" >>"$work/runs.log"
        done
    done
    for tool in "$@"; do
        label=${tool%%:*}
        local walls=() cpus=() rsss=() fields
        read -r -a fields <<<"${results[$label]}"
        for ((i = 0; i < ${#fields[@]}; i += 3)); do
            walls+=("${fields[i]}")
            cpus+=("${fields[i + 1]}")
            rsss+=("${fields[i + 2]}")
        done
        results[$label]=""
        local stalls_beside
        read -r -a stalls_beside <<<"${probes[$label]}"
        probes[$label]=""
        echo "${prefix}stall_of_an_idle_process_beside_$label: $(median "${stalls_beside[@]}") ms, worst $(maximum "${stalls_beside[@]}") ms" |
            tee -a "$work/figures.txt"
        awk -v l="$prefix$label" -v w="$(median "${walls[@]}")" -v c="$(median "${cpus[@]}")" \
            -v r="$(median "${rsss[@]}")" -v b="$bytes" 'BEGIN {
            gib = b / 1073741824; mibs = b / 1048576
            printf "%s_wall: %.2f s\n", l, w
            printf "%s_throughput: %.1f MiB/s\n", l, mibs / w
            printf "%s_cpu_per_gib: %.2f s\n", l, c / gib
            printf "%s_peak_rss: %.1f MiB\n", l, r / 1024
        }' | tee -a "$work/figures.txt"
    done
}
figure() { # name
    awk -v n="$1" -F': ' '$1 == n { split($2, a, " "); print a[1] }' "$work/figures.txt"
}

total_all=$((1024 * mib))
total_capped=$((256 * mib))
: >"$work/figures.txt"

echo "# loopback: ${files[*]} (1 GiB), median of $runs rounds after one warm-up"
start_cdn "$data" v1_c.pak
run_engine "${files[@]}"
run_workflow "${files[@]}"
run_window "${files[@]}"
run_aria2 "${files[@]}"
run_curl "${files[@]}"
reset_engine_figures
bench_round "" "$total_all" "$runs" "${files[*]}" engine:run_engine launcher:run_workflow window:run_window aria2c:run_aria2 curl:run_curl
echo "engine_peak_buffered: $(median "${buffered[@]}") MiB" | tee -a "$work/figures.txt"
# The longest the thread that runs the engine's signals (the launcher's GUI thread) did not get to
# a 10 ms timer: over the whole run, and at the end of the 512 MiB file; the median of the measured
# runs' longest, and the worst of them.
echo "engine_gui_stall_max: $(median "${stalls[@]}") ms (goal <= 21), worst $(maximum "${stalls[@]}") ms" |
    tee -a "$work/figures.txt"
echo "engine_gui_stall_end_of_largest: $(median "${end_stalls[@]}") ms (goal <= 21), worst $(maximum "${end_stalls[@]}") ms" |
    tee -a "$work/figures.txt"
# What that thread itself spends on the download (reading the replies into the piece buffers), median.
echo "engine_gui_thread_cpu_per_gib: $(median "${gui_cpus[@]}") s" | tee -a "$work/figures.txt"
# Keeping the resume records: flushing received pieces to the disk and replacing the record, on the
# writer threads beside the download (median of the runs).
echo "engine_record_keeping: $(median "${records[@]}") s per GiB, $(median "${record_shares[@]}") % of the wall time" |
    tee -a "$work/figures.txt"
md5_cpu=()
for _ in $(seq 1 "$runs"); do
    /usr/bin/time -f "%U %S" -o "$work/time.txt" md5sum "$data"/v1_* >/dev/null
    read -r u s <"$work/time.txt"
    md5_cpu+=("$(awk -v u="$u" -v s="$s" 'BEGIN { print u + s }')")
done
echo "md5sum_cpu_per_gib: $(median "${md5_cpu[@]}") s" | tee -a "$work/figures.txt"

if [ "${BENCH_CAPPED:-1}" != "0" ]; then
    echo "# capped CDN (limit_rate 4m per connection): ${capped_files[*]} (256 MiB), median of $runs rounds"
    start_cdn "$data" v1_c.pak 4m
    bench_round capped_ "$total_capped" "$runs" "${capped_files[*]}" engine:run_engine aria2c:run_aria2
    if [ "${BENCH_CAPPED_CURL:-1}" != "0" ]; then
        bench_round capped_ "$total_capped" 1 "${capped_files[*]}" curl:run_curl
    fi
fi

echo "# ratios"
awk -v e="$(figure engine_throughput)" -v a="$(figure aria2c_throughput)" \
    'BEGIN { printf "loopback_throughput_engine_vs_aria2c: %.2f x (target >= 1.5)\n", e / a }'
awk -v e="$(figure engine_cpu_per_gib)" -v a="$(figure aria2c_cpu_per_gib)" -v m="$(figure md5sum_cpu_per_gib)" \
    'BEGIN { printf "cpu_per_gib_engine_vs_aria2c_plus_md5sum: %.2f x (target <= 1.0)\n", e / (a + m) }'
awk -v l="$(figure launcher_throughput)" -v a="$(figure aria2c_throughput)" \
    'BEGIN { printf "end_to_end_launcher_vs_aria2c: %.2f x (target >= 1.3)\n", l / a }'
awk -v l="$(figure launcher_cpu_per_gib)" -v a="$(figure aria2c_cpu_per_gib)" -v m="$(figure md5sum_cpu_per_gib)" \
    'BEGIN { printf "cpu_per_gib_launcher_vs_aria2c_plus_md5sum: %.2f x (target <= 1.0)\n", l / (a + m) }'
# Peak memory of the whole launcher with its window, beside the engine's and the windowless workflow's.
awk -v w="$(figure window_peak_rss)" -v e="$(figure engine_peak_rss)" -v l="$(figure launcher_peak_rss)" \
    'BEGIN { printf "peak_rss_launcher_with_window: %.1f MiB (goal <= 128; engine %.1f MiB, workflow without a window %.1f MiB)\n", w, e, l }'
[ -n "${BENCH_KEEP_LOG:-}" ] && cp "$work/runs.log" "$BENCH_KEEP_LOG"
if [ "${BENCH_CAPPED:-1}" != "0" ]; then
    awk -v e="$(figure capped_engine_throughput)" -v a="$(figure capped_aria2c_throughput)" \
        'BEGIN { printf "capped_throughput_engine_vs_aria2c: %.2f x (target >= 1.0)\n", e / a }'
fi
