#!/usr/bin/env bash
# Many small files: the launcher's workflow (bench_workflow: version file, every file fetched and
# recorded as installed in config.ini) against aria2c -j10 fetching the same files, from the local
# nginx, for each file count. Medians of BENCH_ROUNDS runs (default 3), the tools taking turns.
# The time per file should not grow with the count.
#   bench/run-manyfiles.sh [build dir]      COUNTS="2000 6000 20000" (default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
rounds=${BENCH_ROUNDS:-3}
counts=${COUNTS:-"2000 6000 20000"}
# shellcheck source=bench/cdn.sh
. "$root/bench/cdn.sh"
need_tools nginx aria2c curl python3 /usr/bin/time
build_targets bench_workflow kv-publish kv-sink

make_work manyfiles

# The release of n files of 1 to 64 KiB (the same sizes and bytes for the same n), published with
# kv-publish beside the launcher's own entry, which the launcher never fetches.
publish_release() { # n
    local n=$1 rel="$data/rel-$1" cdn="$data/cdn-$1"
    [ -f "$cdn/version3.txt" ] && return 0
    rm -rf "$rel" "$cdn"
    python3 - "$rel" "$n" <<'PY'
import os, random, sys
rel, n = sys.argv[1], int(sys.argv[2])
os.makedirs(rel)
rnd = random.Random(n)
for i in range(n):
    with open(os.path.join(rel, "f%05d.dat" % i), "wb") as f:
        f.write(rnd.randbytes(rnd.randint(1024, 65536)))
with open(os.path.join(rel, "Kestrivane.exe"), "wb") as f:
    f.write(b"launcher")
PY
    (cd "$rel" && ls f*.dat | sed 's/$/=1/' && echo "Kestrivane.exe=0.11") >"$work/names.txt"
    xargs -a "$work/names.txt" "$build/bin/kv-publish" --cdn "$cdn" --release "$rel" >"$work/publish.log"
}

out="$work/out"
timed() { # command... : leaves "wall cpu rss_mib" in $measure
    rm -rf "$out"
    mkdir -p "$out"
    /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >"$work/tool.log" 2>&1 || {
        echo "run failed: $*" >&2
        tail -n 20 "$work/tool.log" >&2
        exit 1
    }
    read -r wall user sys rss <"$work/time.txt"
    measure="$wall $(awk -v u="$user" -v s="$sys" -v r="$rss" 'BEGIN { printf "%.2f %.1f", u + s, r / 1024 }')"
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

printf '%-7s %-22s %-22s %s\n' files "launcher s (cpu, MiB)" "aria2c -j10 s (cpu)" "launcher / aria2c, ms per file"
for n in $counts; do
    publish_release "$n"
    start_cdn "$data/cdn-$n" v1_f00000.dat
    sed -n 's/^\(f[0-9]*\.dat\):.*/\1/p' "$data/cdn-$n/version3.txt" | sed "s|^|${base}v1_|" >"$work/urls.txt"
    launcher=() launcher_cpu=() launcher_rss=() aria=() aria_cpu=()
    for _ in $(seq 1 "$rounds"); do
        KESTRIVANE_TEST_CDN_BASE_URL=$base timed "$build/bench/bench_workflow" "$out" "$base" "http://127.0.0.1:$((port + 1))/log"
        read -r w c r files < <(grep -E '^[0-9.]+ [0-9.]+ [0-9.]+ [0-9]+$' "$work/tool.log" | tail -n 1)
        [ "$files" = "$n" ] || { echo "the launcher recorded $files of $n files" >&2; exit 1; }
        launcher+=("$w") launcher_cpu+=("$c") launcher_rss+=("$r")
        timed aria2c -q -j10 -x1 -d "$out" -i "$work/urls.txt"
        got=$(find "$out" -name 'v1_f*.dat' | wc -l)
        [ "$got" = "$n" ] || { echo "aria2c fetched $got of $n files" >&2; exit 1; }
        read -r w c _ <<<"$measure"
        aria+=("$w") aria_cpu+=("$c")
    done
    lw=$(median "${launcher[@]}") aw=$(median "${aria[@]}")
    printf '%-7s %-22s %-22s %s\n' "$n" "$lw ($(median "${launcher_cpu[@]}"), $(median "${launcher_rss[@]}"))" \
        "$aw ($(median "${aria_cpu[@]}"))" \
        "$(awk -v l="$lw" -v a="$aw" -v n="$n" 'BEGIN { printf "%.2f x, %.2f ms", l / a, l * 1000 / n }')"
    stop_cdn
done
