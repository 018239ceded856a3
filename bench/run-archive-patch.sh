#!/bin/bash
# Archive-patch benchmark: an unpacked zip archive updated to its next version by its changed entries
# alone (the launcher's workflow in bench_archive_patch: entry index, plan, the changed entries' ranges
# through the download engine, unpacked and checked), through a proxy that caps the CDN's total at
# 100 Mbit/s; against the whole archive (curl) and zsync given the old archive, through the same proxy.
#
# Usage: bench/run-archive-patch.sh [build-dir]
#   BENCH_DATA_DIR  keep the generated pair and its CDN folder here and reuse them (default: a temp dir)
#   BENCH_SIZE_MIB  size of the archive (default 1024)
#
# The pair (bench/archivepatch/makearchives.py, fixed seeds): 2,000 entries, text deflated and binary
# stored; the new version changes 20 entries, adds 5 and renames 3, the changed and added entries
# about 1 % of the compressed bytes. Both are published with kv-publish (each with its entry index; the
# old one under its own version file), zsyncmake's control file beside the new one. Version 1 is
# installed by the workflow from the CDN on loopback (downloaded whole and unpacked, its record and
# config.ini written), then the update to version 2 runs through the proxy: wall time from the start
# (version file, index, plan, fetch, unpacking and checks, until the game may start), bytes fetched
# (what nginx sent, index and version file included), peak memory, longest stall of a 10 ms timer on
# the workflow's thread; the folder must then hold version 2's entries. Deciding what to keep is timed
# on its own (bench_archive_patch decide) for the installed folder against the new index, with the
# record and with every file hashed (one core, files in the page cache).
#
# Needs nginx (nginx-light, through tools/stack), zsync (zsyncmake and zsync), curl, cmp and python3.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
size_mib=${BENCH_SIZE_MIB:-1024}
rate=12500000 # 100 Mbit/s in bytes
# shellcheck source=bench/cdn.sh
. "$root/bench/cdn.sh"
need_tools nginx zsync zsyncmake curl cmp python3
build_targets bench_archive_patch kv-publish kv-sink
engine="$build/bench/bench_archive_patch"
pair="$root/bench/archivepatch/makearchives.py"

make_work archive-patch
proxy_pid=""
stop_proxy() {
    if [ -n "$proxy_pid" ]; then
        kill -TERM "$proxy_pid" 2>/dev/null || true
        wait "$proxy_pid" 2>/dev/null || true
        proxy_pid=""
    fi
}
trap 'stop_proxy; stop_cdn; rm -rf "$work"' EXIT

# The pair, and both versions as kv-publish puts them on the CDN.
if [ ! -f "$data/pair.txt" ] || ! grep -q "^bench_size: $size_mib MiB$" "$data/pair.txt"; then
    rm -rf "$data/cdn" "$data/pair.txt"
    { echo "bench_size: $size_mib MiB"; python3 "$pair" generate "$data/old.zip" "$data/new.zip" "$size_mib"; } \
        >"$data/pair.tmp"
    mv "$data/pair.tmp" "$data/pair.txt"
fi
cdn="$data/cdn"
if [ ! -f "$cdn/version3.txt" ]; then
    rm -rf "$cdn" "$data/rel"
    mkdir -p "$data/rel"
    echo launcher >"$data/rel/Kestrivane.exe"
    for v in 1 2; do
        zip="$data/new.zip" list=version3.txt
        if [ $v = 1 ]; then zip="$data/old.zip" list=version-old.txt; fi
        rm -f "$data/rel/game.zip"
        ln "$zip" "$data/rel/game.zip" 2>/dev/null || cp "$zip" "$data/rel/game.zip"
        "$build/bin/kv-publish" --cdn "$cdn" --release "$data/rel" --version-file "$list" \
            game.zip=$v Kestrivane.exe=0.11 >>"$work/publish.log" || { cat "$work/publish.log" >&2; exit 1; }
    done
    (cd "$cdn" && zsyncmake -u v2_game.zip -o v2_game.zip.zsync v2_game.zip >/dev/null)
fi
grep -v '^bench_size' "$data/pair.txt"
index="$cdn/v2_game.zip.zipindex"
[ -f "$index" ] || { echo "kv-publish wrote no entry index for game.zip" >&2; exit 1; }
changed=$(awk -F': ' '$1 == "changed_added_compressed" { split($2, a, " "); print a[1] }' "$data/pair.txt")
index_size=$(stat -c %s "$index")
echo "entry_index: $index_size bytes"

: >"$work/figures.txt"
figure() { # name
    awk -v n="$1" -F': ' '$1 == n { split($2, a, " "); print a[1] }' "$work/figures.txt"
}
note() { # line: printed and kept for the ratios
    echo "$1" | tee -a "$work/figures.txt"
}
# Body bytes nginx sent since the last call, then forgets them.
sent_bytes() {
    local log="$work/stack/logs/nginx-access.log" n
    n=$(awk '{ s += $10 } END { printf "%d", s }' "$log")
    : >"$log"
    echo "$n"
}
wall=""
timed() { # command...; leaves its wall seconds in $wall
    local start end
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    wall=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", e - s }')
}
# The capped host: capproxy.py in front of nginx, one token bucket for all its connections.
start_proxy() {
    for _ in $(seq 1 20); do
        proxy_port=$((20000 + RANDOM % 20000))
        python3 "$root/bench/support/capproxy.py" "$proxy_port" "$port" "$rate" "$work/proxy-count" &
        proxy_pid=$!
        pbase="http://127.0.0.1:$proxy_port/sea/win_update/"
        for _ in $(seq 1 50); do
            if [ "$(curl -s -o /dev/null -w '%{http_code}' -r 0-0 "${pbase}v2_game.zip" || true)" = 206 ]; then
                : >"$work/stack/logs/nginx-access.log"
                return 0
            fi
            kill -0 "$proxy_pid" 2>/dev/null || break
            sleep 0.1
        done
        stop_proxy
    done
    echo "cannot start the capped proxy" >&2
    exit 2
}
launcher_run() { # folder base version-file log: the workflow until the game may start
    KESTRIVANE_TEST_CDN_BASE_URL=$2 "$engine" run "$1" "$2" "http://127.0.0.1:$((port + 1))/log" "$3" \
        >"$work/run.txt" 2>"$4" || { cat "$4" "$work/run.txt" >&2; exit 1; }
}
check_folder() { # archive folder what
    python3 "$pair" check "$1" "$2" || { echo "$3: the folder does not hold the archive's entries" >&2; exit 1; }
}

install="$work/install"
mkdir -p "$install"
echo "# version 1 installed by the workflow (loopback, whole archive)"
start_cdn "$cdn" v1_game.zip
launcher_run "$install" "$base" version-old.txt "$work/install.log"
sed 's/^/install_/' "$work/run.txt"
check_folder "$data/old.zip" "$install" "the install"
[ -f "$install/game.zip.kestrivane-entries" ] || { echo "the install left no record of game.zip" >&2; exit 1; }

echo "# deciding what to keep: 2,000 installed entries against the new index, one core"
"$engine" decide "$install" game.zip "$index" >"$work/decide.txt" 2>"$work/decide.log" ||
    { cat "$work/decide.log" >&2; exit 1; }
tee -a "$work/figures.txt" <"$work/decide.txt"

echo "# update to version 2 through the proxy capped at 100 Mbit/s in total"
start_proxy
launcher_run "$install" "$pbase" version3.txt "$work/update.log"
grep -E '^(decided what to keep|archive patched)' "$work/update.log" | sed 's/^/# /' || true
requests=$(awk '$7 ~ /\/v2_game\.zip$/ { n++ } END { print n + 0 }' "$work/stack/logs/nginx-access.log")
index_bytes=$(awk 'index($7, "/v2_game.zip.zipindex") > 0 { s += $10 } END { printf "%d", s }' \
    "$work/stack/logs/nginx-access.log")
sed 's/^/update_/' "$work/run.txt" | tee -a "$work/figures.txt"
note "update_fetched_bytes: $(sent_bytes) bytes (index $index_bytes, version file and all; $requests archive requests)"
check_folder "$data/new.zip" "$install" "the update"
note "changed_added_compressed: $changed bytes"

echo "# the whole archive through the proxy (curl)"
timed curl -sf -o "$work/full.zip" "${pbase}v2_game.zip"
note "full_fetched_bytes: $(sent_bytes) bytes"
note "full_wall: $wall s"
cmp -s "$work/full.zip" "$data/new.zip" || { echo "curl did not give the new archive" >&2; exit 1; }
rm -f "$work/full.zip"

echo "# zsync given the old archive, through the proxy"
cat "$data/old.zip" >/dev/null
zsync_run() {
    (cd "$work" && zsync -q -i "$data/old.zip" -o "$work/zsync.zip" "${pbase}v2_game.zip.zsync" >/dev/null 2>&1)
}
timed zsync_run
note "zsync_control_file: $(stat -c %s "$cdn/v2_game.zip.zsync") bytes"
note "zsync_fetched_bytes: $(sent_bytes) bytes"
note "zsync_wall: $wall s"
cmp -s "$work/zsync.zip" "$data/new.zip" || { echo "zsync did not give the new archive" >&2; exit 1; }
rm -f "$work/zsync.zip"
stop_proxy

echo "# ratios"
awk -v f="$(figure update_fetched_bytes)" -v c="$changed" -v i="$index_size" \
    'BEGIN { printf "fetched_vs_changed_plus_index: %.3f x (goal <= 1.1)\n", f / (c + i) }'
awk -v f="$(figure update_fetched_bytes)" -v z="$(figure zsync_fetched_bytes)" \
    'BEGIN { printf "fetched_vs_zsync: %.3f x (goal < 1)\n", f / z }'
awk -v f="$(figure full_wall)" -v u="$(figure update_wall)" \
    'BEGIN { printf "full_archive_vs_update_wall: %.1f x (goal >= 20)\n", f / u }'
awk -v z="$(figure zsync_wall)" -v u="$(figure update_wall)" \
    'BEGIN { printf "zsync_vs_update_wall: %.1f x\n", z / u }'
awk -v d="$(figure decide_with_record)" 'BEGIN { printf "decide_with_record_vs_goal: %.3f s (goal < 1 s)\n", d }'
awk -v s="$(figure full_hash_speed)" 'BEGIN { printf "full_hash_vs_goal: %.2f x (goal >= 500 MiB/s)\n", s / 500 }'
# Per CPU second, against the hash alone: what reading the files and deciding add to the hash.
awk -v c="$(awk -F'[(]' '/^full_hash_speed:/ { split($2, a, " "); print a[1] }' "$work/figures.txt")" \
    -v h="$(figure blake2b_in_memory)" \
    'BEGIN { printf "full_hash_per_cpu_second_vs_hash_alone: %.2f x (%.1f of %.1f MiB/s)\n", c / h, c, h }'
awk -v r="$(figure update_peak_rss)" 'BEGIN { printf "update_peak_rss_vs_goal: %.2f x (goal <= 256 MiB)\n", r / 256 }'
awk -v g="$(figure update_gui_stall_max)" 'BEGIN { printf "update_gui_stall_vs_goal: %.2f x (goal <= 21 ms)\n", g / 21 }'
