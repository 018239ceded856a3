#!/bin/bash
# Mirror benchmark: the launcher's download engine (bench_download) fetches the same two files of
# 128 MiB from one capped CDN host and from two, from two of which one dies half-way, and from two of
# which one is slow (BENCH_SLOW_CAP, 200 KB/s by default, in total).
#
# Usage: bench/run-mirrors.sh [build-dir]
#   BENCH_DATA_DIR  keep the generated files here and reuse them (the same v1_c.pak and v1_d.pak as
#                   bench/run-download.sh; default: a temp dir)
#   BENCH_RUNS      measured runs of each kind, the median is quoted (default 3)
#   BENCH_CAP       bytes a second each host sends over all its connections together (default 15000000)
#   BENCH_SLOW_CAP  the slow host's cap in the last kind of run (default 200000)
#
# Each host is bench/support/capproxy.py in front of the same local nginx (tools/stack, uncapped): one
# shared token bucket per host caps the host's total, whatever the number of connections the engine
# opens to it. (nginx's limit_rate caps each connection: with the engine's ten downloaders split over
# two hosts it would give each host half the cap of the one-host run, or need the split pinned.) The
# proxies count the bytes they send, so the bytes fetched beyond the files' size are measured where they
# leave the host. The dying host resets every connection and refuses new ones once it has sent a quarter
# of the total (half of its share). Needs nginx (tools/stack), python3 and md5sum.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
runs=${BENCH_RUNS:-3}
cap=${BENCH_CAP:-15000000}
slow_cap=${BENCH_SLOW_CAP:-200000}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "BENCH_RUNS must be a positive number" >&2; exit 2; }
[[ $cap =~ ^[1-9][0-9]*$ ]] || { echo "BENCH_CAP must be a positive number of bytes a second" >&2; exit 2; }
# shellcheck source=bench/cdn.sh
. "$root/bench/cdn.sh"
need_tools nginx python3 curl md5sum
build_targets bench_download kv-sink
engine="$build/bench/bench_download"
proxy="$root/bench/support/capproxy.py"


make_work mirrors
host_pids=()
stop_hosts() {
    local pid
    for pid in "${host_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${host_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    host_pids=()
}
trap 'stop_hosts; stop_cdn; rm -rf "$work"' EXIT

mib=1048576
files=(c.pak d.pak)
total=$((256 * mib))
random_release 128 "${files[@]}"

start_cdn "$data" v1_c.pak
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
host_ports=()
for candidate in $(seq $((port + 3)) $((port + 40))); do
    port_free "$candidate" && host_ports+=("$candidate")
    [ ${#host_ports[@]} -eq 2 ] && break
done
[ ${#host_ports[@]} -eq 2 ] || { echo "no free ports for the hosts near $port" >&2; exit 2; }

# start_host N [die-after bytes] [cap]: host N (0 or 1) listens on its port, counting into $work/sent.N.
start_host() {
    local n=$1 extra=() i
    [ -n "${2:-}" ] && extra=(--die-after "$2")
    rm -f "$work/sent.$n"
    python3 "$proxy" "${host_ports[n]}" "$port" "${3:-$cap}" "$work/sent.$n" "${extra[@]}" 2>>"$work/proxy.log" &
    host_pids+=($!)
    for ((i = 0; i < 100; i++)); do
        port_free "${host_ports[n]}" || return 0
        sleep 0.05
    done
    echo "host $n did not come up on port ${host_ports[n]}" >&2
    cat "$work/proxy.log" >&2
    exit 1
}
host_base() { echo "http://127.0.0.1:${host_ports[$1]}/sea/win_update/"; }

out="$work/out"
# run_engine HOSTS [die-after] [cap]: one download from host 0, or from hosts 0 and 1 (host 1 dying
# after that many bytes when given, capped at cap when given); leaves the engine's wall time and the
# bytes the hosts sent.
wall=0
sent=0
sent_by=()
run_engine() {
    local hosts=$1 mirrors="" n
    stop_hosts
    start_host 0
    if [ "$hosts" = 2 ]; then
        start_host 1 "${2:-}" "${3:-}"
        mirrors=$(host_base 1)
    fi
    rm -rf "$out"
    mkdir -p "$out"
    KESTRIVANE_TEST_CDN_BASE_URL=$(host_base 0) KESTRIVANE_TEST_CDN_MIRRORS=$mirrors \
        "$engine" "$out" "$work/list.txt" >"$work/engine.log" 2>&1 || {
        echo "the engine failed with $hosts host(s)" >&2
        tail -n 20 "$work/engine.log" >&2
        exit 1
    }
    for f in "${files[@]}"; do
        cmp -s "$data/v1_$f" "$out/$f" || { echo "wrong or missing output file $f" >&2; exit 1; }
    done
    stop_hosts
    wall=$(awk -F': ' '$1 == "engine_wall" { split($2, a, " "); print a[1] }' "$work/engine.log")
    sent=0
    sent_by=(0 0)
    for n in 0 1; do
        [ -f "$work/sent.$n" ] && sent_by[n]=$(cat "$work/sent.$n")
        sent=$((sent + sent_by[n]))
    done
    [ -n "$wall" ] || { echo "the engine printed no wall time" >&2; exit 1; }
}

median() { # values...
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

one=()
two=()
extra_two=()
dying=()
extra_dying=()
dead_sent=()
slow=()
extra_slow=()
echo "# ${files[*]} (256 MiB), each host capped at $cap bytes/s in total, median of $runs rounds"
for _ in $(seq 1 "$runs"); do
    run_engine 1
    one+=("$wall")
    run_engine 2
    two+=("$wall")
    extra_two+=($((sent - total)))
    run_engine 2 $((total / 4))
    dying+=("$wall")
    extra_dying+=($((sent - total)))
    dead_sent+=("${sent_by[1]}")
    run_engine 2 "" "$slow_cap"
    slow+=("$wall")
    extra_slow+=($((sent - total)))
done

w1=$(median "${one[@]}")
w2=$(median "${two[@]}")
wd=$(median "${dying[@]}")
awk -v w="$w1" -v b="$total" 'BEGIN { printf "one_host_wall: %.2f s\none_host_throughput: %.1f MiB/s\n", w, b / 1048576 / w }'
awk -v w="$w2" -v b="$total" 'BEGIN { printf "two_hosts_wall: %.2f s\ntwo_hosts_throughput: %.1f MiB/s\n", w, b / 1048576 / w }'
awk -v x="$(median "${extra_two[@]}")" 'BEGIN { printf "two_hosts_beyond_size: %.2f MiB\n", x / 1048576 }'
awk -v w="$wd" 'BEGIN { printf "one_dying_wall: %.2f s\n", w }'
awk -v x="$(median "${dead_sent[@]}")" 'BEGIN { printf "one_dying_sent_before_death: %.1f MiB\n", x / 1048576 }'
# Ten downloaders over two hosts: five 4 MiB pieces in flight on the host that dies.
awk -v x="$(median "${extra_dying[@]}")" \
    'BEGIN { printf "one_dying_beyond_size: %.2f MiB (goal <= 20, the five 4 MiB pieces in flight on the dead host)\n", x / 1048576 }'
ws=$(median "${slow[@]}")
awk -v w="$ws" -v c="$slow_cap" 'BEGIN { printf "one_slow_wall: %.2f s (the other host at %d bytes/s)\n", w, c }'
awk -v x="$(median "${extra_slow[@]}")" 'BEGIN { printf "one_slow_beyond_size: %.2f MiB (goal <= 8)\n", x / 1048576 }'
echo "# ratio"
awk -v a="$w1" -v b="$w2" 'BEGIN { printf "two_hosts_vs_one: %.2f x (goal >= 1.8)\n", a / b }'
awk -v a="$w1" -v s="$ws" 'BEGIN { printf "one_slow_vs_fast_alone: %.2f x (goal <= 1.1)\n", s / a }'
