#!/bin/bash
# Adoption benchmark: a release installed by one launcher, its config.ini and records removed (a game
# folder copied from another machine), then started again: the launcher looks at what is on the disk
# (MD5 of the plain files, BLAKE2b of the files the archive unpacked, on worker threads) and records
# it, fetching only the version file, the block maps and the entry index. Its wall time from the start
# to the moment the game may start is set against md5sum over the plain files plus b2sum over the
# unpacked ones, one after the other, files in the page cache for both.
#
# Usage: bench/run-adoption.sh [build-dir]
#   BENCH_DATA_DIR   keep the generated release and its CDN folder here and reuse them (default: temp)
#   BENCH_SIZE_MIB   size of the archive and of the plain files together (default 512, half each)
#
# The archive is the old one of bench/archivepatch/makearchives.py (2,000 entries, text deflated,
# binary stored); the plain files are four of random bytes. Both are published with kv-publish
# (maps and index beside them). Needs nginx (through tools/stack), curl, md5sum, b2sum and python3.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
size_mib=${BENCH_SIZE_MIB:-512}
# shellcheck source=bench/cdn.sh
. "$root/bench/cdn.sh"
need_tools nginx curl md5sum b2sum python3
build_targets bench_archive_patch kv-publish kv-sink
engine="$build/bench/bench_archive_patch"
pair="$root/bench/archivepatch/makearchives.py"

make_work adoption

half=$((size_mib / 2))
if [ ! -f "$data/adoption.txt" ] || ! grep -q "^bench_size: $size_mib MiB$" "$data/adoption.txt"; then
    rm -rf "$data/cdn" "$data/rel" "$data/adoption.txt"
    mkdir -p "$data/rel"
    python3 "$pair" generate "$data/rel/game.zip" "$work/unused.zip" "$half" >/dev/null
    for i in 1 2 3 4; do
        head -c $((half * 1048576 / 4)) /dev/urandom >"$data/rel/plain$i.pak"
    done
    echo launcher >"$data/rel/Kestrivane.exe"
    "$build/bin/kv-publish" --cdn "$data/cdn" --release "$data/rel" game.zip=1 plain1.pak=1 plain2.pak=1 \
        plain3.pak=1 plain4.pak=1 Kestrivane.exe=0.11 >"$work/publish.log" || { cat "$work/publish.log" >&2; exit 1; }
    echo "bench_size: $size_mib MiB" >"$data/adoption.txt"
fi
cdn="$data/cdn"

launcher_run() { # log: the workflow until the game may start
    KESTRIVANE_TEST_CDN_BASE_URL=$base "$engine" run "$install" "$base" "http://127.0.0.1:$((port + 1))/log" \
        version3.txt >"$work/run.txt" 2>"$1" || { cat "$1" "$work/run.txt" >&2; exit 1; }
}
seconds() { # command...: its wall seconds
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}

install="$work/install"
mkdir -p "$install"
start_cdn "$cdn" v1_game.zip
echo "# release 1 installed by a launcher (loopback)"
launcher_run "$work/install.log"
python3 "$pair" check "$data/rel/game.zip" "$install" || { echo "the install is not the release" >&2; exit 1; }
rm -f "$install/config.ini" "$install"/*.kestrivane-*
unpacked=$(cd "$install" && find . -type f ! -name '*.pak' ! -name 'Kestrivane*' | sort)
echo "plain_files: $(du -cb "$install"/*.pak | tail -1 | cut -f1) bytes in 4 files"
echo "unpacked_files: $(cd "$install" && echo "$unpacked" | xargs -d '\n' du -cb | tail -1 | cut -f1) bytes in $(echo "$unpacked" | wc -l) files"

# The page cache holds every file for each of the timed runs alike.
cat "$install"/*.pak >/dev/null
(cd "$install" && echo "$unpacked" | xargs -d '\n' cat >/dev/null)
: >"$work/stack/logs/nginx-access.log"
echo "# the same folder started again without config.ini or records"
launcher_run "$work/adopt.log"
grep -E 'files found on the disk|found unpacked on the disk' "$work/adopt.log" | sed 's/^/# /' || true
adopt_wall=$(awk -F': ' '$1 == "wall" { split($2, a, " "); print a[1] }' "$work/run.txt")
echo "adoption_wall: $adopt_wall s"
echo "adoption_requests: $(awk '{ print $7 }' "$work/stack/logs/nginx-access.log" | sed 's|.*/||' | sort | uniq -c | tr -s ' ' | paste -sd ',' -)"
echo "adoption_fetched_bytes: $(awk '{ s += $10 } END { printf "%d", s }' "$work/stack/logs/nginx-access.log") bytes"
python3 "$pair" check "$data/rel/game.zip" "$install" || { echo "the adopted folder is not the release" >&2; exit 1; }
grep -q '^game.zip=1' "$install/config.ini" || { echo "game.zip was not recorded" >&2; exit 1; }

md5_wall=$(seconds md5sum "$install"/*.pak)
b2_wall=$(cd "$install" && seconds bash -c 'echo "$0" | xargs -d "\n" b2sum' "$unpacked")
echo "md5sum_plain: $md5_wall s"
echo "b2sum_unpacked: $b2_wall s"
awk -v a="$adopt_wall" -v m="$md5_wall" -v b="$b2_wall" \
    'BEGIN { printf "adoption_vs_md5sum_plus_b2sum: %.2f x (goal <= 1.3)\n", a / (m + b) }'
