#!/bin/bash
# Delta benchmark: a new version of a 1 GiB file fetched by its block map from an installed older copy
# (bench_delta: the matcher and the reused-block writer; the requests fetched with curl from nginx), against
# zsync (zsyncmake's control file of the same file, the same old copy) on the same pair.
#
# Usage: bench/run-delta.sh [build-dir]
#   BENCH_DATA_DIR  keep the generated pair here and reuse it on the next run (default: a temp dir)
#   BENCH_SIZE_MIB  size of the old file (default 1024)
#   BENCH_CAPPED    1 also times the fetches against nginx capped at 100 Mbit/s (12.5 MB/s), one
#                   connection at a time so that the per-connection cap is the total: the full download,
#                   zsync, and the requests of the map fetched in turn (the result synced as the download does); then the download manager with its
#                   ten connections capped at a tenth each (its map request gets a tenth only)
#                   (default 0: about two minutes)
#
# The pair: the new file is the old one with 1 % of its bytes changed in runs of 16 to 256 KiB at
# scattered places, 16 MiB inserted and 4 MiB deleted (bench_delta generate); "changed bytes" counts the
# changed runs and the insertion. Bytes fetched are what nginx sent (its access log), map or control file
# included. Scan speed is over the old file in the page cache, on one worker thread. The longest GUI stall
# is the worst lateness of a 10 ms timer on the thread that starts the scan and gets its progress reports.
# The launcher's own way (bench_delta engine: the download manager fetching the map, scanning the old copy
# and fetching the missing ranges ten at a time with its resume records) gives the bytes fetched and its wall
# time on loopback; the capped timings keep one connection at a time, through curl.
#
# Needs nginx (nginx-light, through tools/stack), zsync (zsyncmake and zsync), curl, cmp and GNU time.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
size_mib=${BENCH_SIZE_MIB:-1024}
# shellcheck source=bench/cdn.sh
. "$root/bench/cdn.sh"
need_tools nginx zsync zsyncmake curl cmp /usr/bin/time
build_targets bench_delta kv-publish kv-sink
engine="$build/bench/bench_delta"

make_work delta

# The pair, and the release as kv-publish puts it on the CDN, with zsyncmake's control file beside it.
if [ ! -f "$data/pair.txt" ] || ! grep -q "^old_size: $((size_mib * 1048576)) " "$data/pair.txt"; then
    "$engine" generate "$data/old.pak" "$data/new.pak" "$size_mib" >"$data/pair.tmp"
    mv "$data/pair.tmp" "$data/pair.txt"
    rm -rf "$data/cdn"
fi
cdn="$data/cdn"
if [ ! -f "$cdn/version3.txt" ]; then
    rm -rf "$cdn" "$data/rel"
    mkdir -p "$data/rel"
    ln "$data/new.pak" "$data/rel/game.pak" 2>/dev/null || cp "$data/new.pak" "$data/rel/game.pak"
    "$build/bin/kv-publish" --cdn "$cdn" --release "$data/rel" game.pak=2 >"$work/publish.log"
    (cd "$cdn" && zsyncmake -u v2_game.pak -o v2_game.pak.zsync v2_game.pak >/dev/null)
fi
cat "$data/pair.txt"
changed=$(awk -F': ' '$1 == "changed_bytes" { split($2, a, " "); print a[1] }' "$data/pair.txt")
digest=$(awk -F: '$1 == "game.pak" { print $5 }' "$cdn/version3.txt")
new_md5=$(awk -F: '$1 == "game.pak" { print $3 }' "$cdn/version3.txt")
new_size=$(stat -c %s "$data/new.pak")
[ ${#digest} = 64 ] || { echo "kv-publish listed no map digest for game.pak" >&2; exit 1; }
map="$cdn/v2_game.pak.blockmap"

# Body bytes nginx sent since the last call, then forgets them.
sent_bytes() {
    local log="$work/stack/logs/nginx-access.log" n
    n=$(awk '{ s += $10 } END { printf "%d", s }' "$log")
    : >"$log"
    echo "$n"
}
figure() { # name
    awk -v n="$1" -F': ' '$1 == n { split($2, a, " "); print a[1] }' "$work/figures.txt"
}
wall=""
timed() { # command...; leaves its wall seconds in $wall (run here, not in a subshell, so a failure stops the run)
    local start end
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    wall=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", e - s }')
}

# The map's way: the map, the scan and the copy of the reused blocks, then the requests in turn (or ten
# at a time with BENCH_PARALLEL), each written at its offset.
delta_fetch() { # parallel [apply option]
    local parallel=$1 t0 t1 t2
    t0=$(date +%s.%N)
    curl -sf -o "$work/map" "${base}v2_game.pak.blockmap"
    /usr/bin/time -f "%M" -o "$work/rss.txt" "$engine" apply ${2:-} "$data/old.pak" "$data/new.pak" "$work/map" \
        "$digest" "$work/out.pak" "$work/requests.txt" >"$work/apply.txt"
    t1=$(date +%s.%N)
    # One curl per connection, its requests one after the other on that connection (--next), each into
    # its own piece file; then the pieces go into the partial file at their offsets.
    mkdir -p "$work/pieces"
    rm -f "$work"/curl-*.cfg
    awk -v b="${base}v2_game.pak" -v d="$work/pieces" -v n="$parallel" -v w="$work" '{
        cfg = sprintf("%s/curl-%d.cfg", w, NR % n)
        if (seen[cfg]++) print "next" >>cfg
        printf "url = \"%s\"\nrange = \"%d-%d\"\noutput = \"%s/%d\"\nsilent\nfail\n", b, $1, $1 + $2 - 1, d, $1 >>cfg
    }' "$work/requests.txt"
    local cfg pids=()
    for cfg in "$work"/curl-*.cfg; do
        [ -f "$cfg" ] || continue
        curl --config "$cfg" &
        pids+=("$!")
    done
    for pid in "${pids[@]}"; do wait "$pid" || { echo "a range request failed" >&2; exit 1; }; done
    "$engine" place "$work/out.pak" "$work/pieces" "$work/requests.txt"
    rm -rf "$work/pieces"
    t2=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" -v c="$t2" 'BEGIN { printf "%.2f %.2f\n", b - a, c - b }' >"$work/phases.txt"
}
# The download manager patching a copy of the old file's place from the old file.
engine_fetch() {
    rm -rf "$work/engine"
    mkdir -p "$work/engine"
    KESTRIVANE_TEST_CDN_BASE_URL="$base" "$engine" engine "$data/old.pak" "$work/engine" game.pak 2 "$new_md5" \
        "$new_size" "$digest" >"$work/engine.txt"
}
zsync_fetch() {
    rm -f "$work/zsync.pak" "$work/zsync.pak.part"
    (cd "$work" && /usr/bin/time -f "%M" -o "$work/zsync-rss.txt" \
        zsync -q -i "$data/old.pak" -o "$work/zsync.pak" "${base}v2_game.pak.zsync" >/dev/null 2>&1)
}
full_fetch() {
    curl -sf -o "$work/full.pak" "${base}v2_game.pak"
}
check() { # file what: the fetched file must be the new version; removed afterwards
    cmp -s "$1" "$data/new.pak" || { echo "$2 did not give the new file" >&2; exit 1; }
    rm -f "$1"
}

: >"$work/figures.txt"
cat "$data/old.pak" >/dev/null
echo "# loopback, uncapped"
start_cdn "$cdn" v2_game.pak
delta_fetch 10
check "$work/out.pak" "the map's way"
curl_bytes=$(sent_bytes)
tee -a "$work/figures.txt" <"$work/apply.txt"
echo "map_fetched_bytes_curl: $curl_bytes bytes" | tee -a "$work/figures.txt"
engine_fetch
check "$work/engine/game.pak" "the download manager"
delta_bytes=$(sent_bytes)
tee -a "$work/figures.txt" <"$work/engine.txt"
echo "map_fetched_bytes: $delta_bytes bytes" | tee -a "$work/figures.txt"
echo "map_peak_rss: $(awk '{ printf "%.1f", $1 / 1024 }' "$work/rss.txt") MiB (goal <= 256)" | tee -a "$work/figures.txt"
zsync_fetch
check "$work/zsync.pak" zsync
zsync_bytes=$(sent_bytes)
echo "zsync_control_file: $(stat -c %s "$cdn/v2_game.pak.zsync") bytes" | tee -a "$work/figures.txt"
echo "zsync_fetched_bytes: $zsync_bytes bytes" | tee -a "$work/figures.txt"
echo "zsync_peak_rss: $(awk '{ printf "%.1f", $1 / 1024 }' "$work/zsync-rss.txt") MiB" | tee -a "$work/figures.txt"

if [ "${BENCH_CAPPED:-0}" = "1" ]; then
    echo "# capped at 100 Mbit/s, one connection at a time"
    start_cdn "$cdn" v2_game.pak 12500k
    timed full_fetch
    echo "capped_full_download_wall: $wall s" | tee -a "$work/figures.txt"
    check "$work/full.pak" "the full download"
    timed zsync_fetch
    echo "capped_zsync_wall: $wall s" | tee -a "$work/figures.txt"
    check "$work/zsync.pak" zsync
    timed delta_fetch 1 --write-only
    echo "capped_map_wall: $wall s" | tee -a "$work/figures.txt"
    check "$work/out.pak" "the map's way"
    read -r prepare fetch <"$work/phases.txt"
    echo "capped_map_wall_map_scan_and_copy: $prepare s" | tee -a "$work/figures.txt"
    echo "capped_map_wall_requests: $fetch s" | tee -a "$work/figures.txt"
    start_cdn "$cdn" v2_game.pak 1250k
    timed engine_fetch
    echo "capped_engine_wall: $wall s (ten connections of 10 Mbit/s)" | tee -a "$work/figures.txt"
    check "$work/engine/game.pak" "the download manager"
fi

echo "# ratios"
awk -v f="$delta_bytes" -v c="$changed" -v m="$(stat -c %s "$map")" \
    'BEGIN { printf "map_fetched_vs_changed: %.3f x (goal <= 1.25 x changed + map: %.3f x)\n", f / c, (1.25 * c + m) / c }'
awk -v f="$delta_bytes" -v z="$zsync_bytes" 'BEGIN { printf "map_fetched_vs_zsync: %.3f x (goal <= 1)\n", f / z }'
awk -v s="$(figure scan_speed)" 'BEGIN { printf "scan_speed_vs_goal: %.2f x (goal >= 300 MiB/s)\n", s / 300 }'
if [ "${BENCH_CAPPED:-0}" = "1" ]; then
    awk -v f="$(figure capped_full_download_wall)" -v d="$(figure capped_map_wall)" -v z="$(figure capped_zsync_wall)" \
        'BEGIN { printf "capped_full_vs_map_wall: %.1f x (goal >= 10)\ncapped_zsync_vs_map_wall: %.2f x (goal >= 1)\n", f / d, z / d }'
    awk -v f="$(figure capped_full_download_wall)" -v e="$(figure capped_engine_wall)" -v z="$(figure capped_zsync_wall)" \
        'BEGIN { printf "capped_full_vs_engine_wall: %.1f x (goal >= 10)\ncapped_zsync_vs_engine_wall: %.2f x (goal >= 1)\n", f / e, z / e }'
fi
