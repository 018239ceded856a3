#!/bin/bash
# Release-day benchmark: the update of a start after the coming release was pre-downloaded, against
# checking the same files' MD5 and moving them into place with md5sum and mv; and what the
# pre-download fetched against what the update of the same change fetches without it.
#
# Usage: bench/run-predownload.sh [build-dir]
#   BENCH_CASE      parts (default): release 2 changes parts of its files; whole: new files throughout
#   BENCH_DATA_DIR  keep the generated releases here and reuse them (default: a temp dir)
#   BENCH_SIZE_MIB  whole: size of the second release's changed files (default 1024)
#   BENCH_LOG=1     keep the update's log, every line after its seconds, as update.log in the data folder
#
# parts: release 1 (a small game program, a 24 MiB data file and a zip archive of 695 entries, 20 to
# 90 KiB each and 39 MB in all, random bytes stored and text deflated: 36 MB) is published signed with
# kv-publish (a throwaway key made by bench_predownload key; the data file gets its block map, the
# archive its entry index) and installed by the workflow from nginx on loopback, into two folders.
# Release 2 changes three 200 KB regions of the data file and 14 entries of the archive;
# `kv-publish --preload` publishes it, and the workflow pre-downloads it into the first folder (time
# and the bytes of game files nginx served: maps and indexes included). Released, the second folder,
# which pre-downloaded nothing, is updated: its served bytes are the reference (goal: the
# pre-download's at most 1.1 x). whole: release 1 has five 1 MiB data files and a 4 MiB zip archive,
# release 2 changes the five data files (256, 256, 192, 128 and 92 MiB at 1024 MiB) and the archive
# (the rest, about a tenth: some 300 entries of random bytes stored and text deflated, 64 KiB to 1 MiB
# each), all new bytes; only the first folder is installed.
#
# Then the first folder's next start's update runs: wall time from the workflow's start until the game
# may start, the time in phase Extracting (the archive unpacked) apart, the bytes of game files nginx
# served meanwhile (must be 0; the version file and signatures apart), peak memory and the longest
# stall of a 10 ms timer on the workflow's thread, and its CPU time. The installed files must then be
# release 2's. The peer, in the same run, before and after the update: copies of release 2's changed
# files in a folder on the same file system, `md5sum -c` of them and `mv` into another folder, with one
# md5sum and with one per file, as many at once as there are cores (the launcher checks files side by
# side too); both sides' files are synced and read once before (in the page cache, as the launcher's
# pre-downloaded files are). Printed last: the update without extraction against the mean of each
# peer's two runs, in CPU time and (the goal) in wall time.
#
# Needs nginx (nginx-light, through tools/stack), curl, cmp, md5sum and python3.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
size_mib=${BENCH_SIZE_MIB:-1024}
bench_case=${BENCH_CASE:-parts}
[ "$bench_case" = parts ] || [ "$bench_case" = whole ] || { echo "BENCH_CASE: parts or whole" >&2; exit 2; }
if ! [[ $size_mib =~ ^[0-9]+$ ]] || [ "$size_mib" -lt 16 ]; then
    echo "BENCH_SIZE_MIB: a number of MiB, at least 16" >&2
    exit 2
fi
# shellcheck source=bench/cdn.sh
. "$root/bench/cdn.sh"
need_tools nginx curl cmp md5sum python3 timeout
build_targets bench_predownload kv-publish kv-sink
engine="$build/bench/bench_predownload"

make_work predownload

# The archive: COUNT entries of random bytes stored (64 KiB to 1 MiB each) and text deflated, about
# MIB MiB in all; the seed makes each version's entries differ.
make_zip() { # file mib seed
    python3 - "$1" "$2" "$3" <<'EOF'
import os, random, sys, zipfile
path, mib, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(seed)
words = [w.encode() for w in "quelvane river stone ember lantern harbor north wind archive valley crown".split()]
target = mib * 1048576
with zipfile.ZipFile(path + ".tmp", "w") as z:
    n = 0
    while n == 0 or os.path.getsize(path + ".tmp") < target * 0.9:
        size = rng.randint(64 * 1024, 1024 * 1024)
        z.writestr("data/chunk%04d.bin" % n, rng.randbytes(size), compress_type=zipfile.ZIP_STORED)
        z.fp.flush()
        n += 1
    t = 0
    while os.path.getsize(path + ".tmp") < target:
        text = b" ".join(rng.choice(words) for _ in range(rng.randint(50000, 150000)))
        z.writestr("text/notes%04d.txt" % t, text, compress_type=zipfile.ZIP_DEFLATED)
        z.fp.flush()
        t += 1
    z.writestr("readme.txt", b"release notes, version %d\n" % seed, compress_type=zipfile.ZIP_DEFLATED)
os.rename(path + ".tmp", path)
print("%d stored and %d deflated entries" % (n, t))
EOF
}

# parts: the archive of release 1 and 2 (14 entries changed), and the data file of both (three 200 KB
# regions changed), from fixed seeds.
make_parts() { # rel1 rel2
    python3 - "$1" "$2" <<'EOF'
import random, sys, zipfile
rel1, rel2 = sys.argv[1], sys.argv[2]
rng = random.Random(7)
words = [w.encode() for w in "quelvane river stone ember lantern harbor north wind archive valley crown".split()]
entries, total = [], 0
while total < 39000000:
    size = rng.randint(20 * 1024, 90 * 1024)
    n = len(entries)
    entries.append(("data/part%04d.%s" % (n, "txt" if n % 10 == 0 else "bin"), size, n))
    total += size
changed = set(rng.sample(range(len(entries)), 14))
def content(name, size, seed):
    r = random.Random(seed)
    if name.endswith(".txt"):
        return b" ".join(r.choice(words) for _ in range(size // 6))[:size]
    return r.randbytes(size)
for path, version in ((rel1, 1), (rel2, 2)):
    with zipfile.ZipFile(path + "/game.zip", "w") as z:
        for i, (name, size, seed) in enumerate(entries):
            seed += 100000 * (version if i in changed else 1)
            z.writestr(name, content(name, size, seed),
                       compress_type=zipfile.ZIP_DEFLATED if name.endswith(".txt") else zipfile.ZIP_STORED)
data = bytearray(random.Random(8).randbytes(24 * 1048576))
open(rel1 + "/content.pak", "wb").write(data)
for at in (1000000, 11000000, 21000000):
    data[at:at + 200000] = random.Random(at).randbytes(200000)
open(rel2 + "/content.pak", "wb").write(data)
print("%d entries, %d changed" % (len(entries), len(changed)))
EOF
}

# The two releases, kept in $data (whole: while the size fits).
if [ "$bench_case" = parts ]; then
    names=(content.pak)
    rel1="$data/parts/rel1" rel2="$data/parts/rel2"
    if [ ! -f "$data/parts/releases.txt" ]; then
        rm -rf "$data/parts"
        mkdir -p "$rel1" "$rel2"
        echo launcher >"$rel1/Kestrivane.exe"
        head -c 2097152 /dev/urandom >"$rel1/Quelvane.exe"
        entries=$(make_parts "$rel1" "$rel2")
        echo "archive: $(stat -c %s "$rel2/game.zip") bytes ($entries)" >"$data/parts/releases.tmp"
        mv "$data/parts/releases.tmp" "$data/parts/releases.txt"
    fi
    cat "$data/parts/releases.txt"
else
    names=(content1.pak content2.pak content3.pak content4.pak content5.pak)
    rel1="$data/rel1" rel2="$data/rel2"
    weights=(256 256 192 128 92)
    if [ ! -f "$data/releases.txt" ] || ! grep -q "^bench_size: $size_mib MiB$" "$data/releases.txt"; then
        rm -rf "$rel1" "$rel2" "$data/releases.txt"
        mkdir -p "$rel1" "$rel2"
        echo launcher >"$rel1/Kestrivane.exe"
        head -c 2097152 /dev/urandom >"$rel1/Quelvane.exe"
        plain=0
        for i in "${!names[@]}"; do
            mib=$((weights[i] * size_mib / 1024))
            [ "$mib" -ge 1 ] || mib=1
            plain=$((plain + mib))
            head -c 1048576 /dev/urandom >"$rel1/${names[i]}"
            head -c $((mib * 1048576)) /dev/urandom >"$rel2/${names[i]}"
        done
        make_zip "$rel1/game.zip" 4 1 >/dev/null
        entries=$(make_zip "$rel2/game.zip" $((size_mib - plain)) 2)
        echo "bench_size: $size_mib MiB" >"$data/releases.tmp"
        echo "archive: $(stat -c %s "$rel2/game.zip") bytes ($entries)" >>"$data/releases.tmp"
        mv "$data/releases.tmp" "$data/releases.txt"
    fi
    grep -v '^bench_size' "$data/releases.txt"
fi
rel2_files=("${names[@]}" game.zip)
rel2_bytes=0
for f in "${rel2_files[@]}"; do rel2_bytes=$((rel2_bytes + $(stat -c %s "$rel2/$f"))); done
echo "changed_files: ${#rel2_files[@]} files, $rel2_bytes bytes"

: >"$work/figures.txt"
figure() { # name
    awk -v n="$1" -F': ' '$1 == n { split($2, a, " "); print a[1] }' "$work/figures.txt"
}
note() { # line: printed and kept for the ratio
    echo "$1" | tee -a "$work/figures.txt"
}
access_log="$work/stack/logs/nginx-access.log"
publish() { # version-file arguments...
    "$build/bin/kv-publish" --cdn "$work/cdn" --sign-key "$work/release.key" "$@" >>"$work/publish.log" 2>&1 ||
        { cat "$work/publish.log" >&2; exit 1; }
}
launcher_run() { # log [predownload]: the workflow until the game may start (and the pre-download ends)
    KESTRIVANE_TEST_CDN_BASE_URL=$base KESTRIVANE_TEST_RELEASE_PUBLIC_KEY=$public_key \
        timeout 900 "$engine" run "$install" "$base" "http://127.0.0.1:$((port + 1))/log" ${2:+"$2"} \
        >"$work/run.txt" 2>"$1" || { cat "$1" "$work/run.txt" >&2; exit 1; }
}
# Body bytes nginx sent for versioned files (v<version>_<name>, their maps and indexes) and for the
# rest (version file, coming list, signatures), then forgets them.
served_game=0 served_other=0
count_served() {
    served_game=$(awk '$7 ~ /\/v[^\/]*_[^\/]*$/ { s += $10 } END { printf "%d", s }' "$access_log")
    served_other=$(awk '$7 !~ /\/v[^\/]*_[^\/]*$/ { s += $10 } END { printf "%d", s }' "$access_log")
    : >"$access_log"
}
# Syncs and reads the files once: written out and in the page cache.
warm() { # files...
    sync
    cat "$@" >/dev/null
}

public_key=$("$engine" key "$work/release.key")
install="$work/install"
mkdir -p "$install"

echo "# release 1 published and installed by the workflow (loopback)"
publish --release "$rel1" Kestrivane.exe=0.11 Quelvane.exe=1 "${names[@]/%/=1}" game.zip=1
start_cdn "$work/cdn" v1_game.zip
launcher_run "$work/install.log"
sed -n 's/^wall:/install_wall:/p' "$work/run.txt"
# parts: a second player, who pre-downloads nothing, for the update's bytes of the same change.
other="$work/other"
if [ "$bench_case" = parts ]; then
    mkdir -p "$other"
    install=$other launcher_run "$work/install-other.log"
fi

echo "# release 2 published ahead (--preload), pre-downloaded with the game ready"
publish --release "$rel2" --preload "${names[@]/%/=2}" game.zip=2
: >"$access_log"
launcher_run "$work/preload.log" predownload
grep '^predownload_' "$work/run.txt"
count_served
note "predownload_served_bytes: $served_game bytes (version file, list and signatures $served_other)"

# The peer: copies of the same files in a folder on the same file system, their sums as the version
# file gives them. One md5sum for all the files, or (as a user in a hurry would) one per file, as many
# at once as there are cores; then one mv for all of them. Each run starts from the files in
# $peer/src, in the page cache, and leaves them there; it is timed before and after the update.
peer="$work/peer"
mkdir -p "$peer/src" "$peer/dst" "$peer/sums"
for f in "${rel2_files[@]}"; do
    cp -- "$rel2/$f" "$peer/src/"
    (cd "$rel2" && md5sum -- "$f") >"$peer/sums/$f"
done
cat "$peer/sums/"* >"$peer/all.sums"
one_md5sum() {
    (cd "$peer/src" && md5sum --quiet -c "$peer/all.sums")
}
parallel_md5sum() {
    (cd "$peer/src" && printf '%s\n' "${rel2_files[@]}" |
        xargs -P "$(nproc)" -I{} md5sum --quiet -c "$peer/sums/{}")
}
peer_run() { # name check when: "<name>_<when>: <wall> s (cpu <user + system> s)"
    local times
    times=$( {
        TIMEFORMAT='%R %U %S'
        time { "$2" && (cd "$peer/src" && mv -- "${rel2_files[@]}" "$peer/dst/"); } 2>&3
    } 3>&2 2>&1) || { echo "the peer failed: $1" >&2; exit 1; }
    (cd "$peer/dst" && mv -- "${rel2_files[@]}" "$peer/src/")
    awk -v n="$1_$3" -v t="$times" \
        'BEGIN { split(t, a, " "); printf "%s: %.3f s (cpu %.3f s)\n", n, a[1], a[2] + a[3] }' |
        tee -a "$work/figures.txt"
}
peers() { # when
    warm "${rel2_files[@]/#/$peer/src/}"
    peer_run peer_md5sum_mv one_md5sum "$1"
    peer_run peer_parallel_md5sum_mv parallel_md5sum "$1"
}
echo "# the peer before the update: md5sum -c and mv of copies of the same files (page cache)"
peers before

# The installed files must be release 2's.
check_installed() { # folder
    for f in "${names[@]}"; do
        cmp -s "$1/$f" "$rel2/$f" || { echo "the update did not install release 2's $f" >&2; exit 1; }
    done
    python3 - "$rel2/game.zip" "$1" <<'EOF' || { echo "the update did not unpack release 2's archive" >&2; exit 1; }
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    for e in z.infolist():
        with open(sys.argv[2] + "/" + e.filename, "rb") as f:
            assert f.read() == z.read(e), e.filename
EOF
}

echo "# release 2 released"
publish --release "$rel2" "${names[@]/%/=2}" game.zip=2
if [ "$bench_case" = parts ]; then
    echo "# the update of the player who pre-downloaded nothing"
    : >"$access_log"
    install=$other launcher_run "$work/update-other.log"
    count_served
    note "update_without_predownload_served_bytes: $served_game bytes"
    check_installed "$other"
fi
echo "# the next start's update after the pre-download"
pre_dir="$install/kestrivane-predownload"
sync
find "$pre_dir" -type f -exec cat {} + >/dev/null
: >"$access_log"
launcher_run "$work/update.log"
count_served
[ -z "${BENCH_LOG:-}" ] || cp "$work/update.log" "$data/update.log"
sed 's/^/update_/' "$work/run.txt" | tee -a "$work/figures.txt"
taken=$(grep -c 'taking the pre-downloaded' "$work/update.log" || true)
note "update_taken_from_predownload: $taken of ${#rel2_files[@]} files"
note "update_served_game_bytes: $served_game bytes"
note "update_served_other_bytes: $served_other bytes (version file and signatures)"
check_installed "$install"
for f in "${rel2_files[@]}"; do
    [ ! -e "$pre_dir/$f" ] || { echo "the update left $f in $pre_dir" >&2; exit 1; }
done

echo "# the peer after the update"
peers after

echo "# ratios"
[ "$(figure update_served_game_bytes)" = 0 ] || echo "update_served_game_bytes is not 0" >&2
if [ "$bench_case" = parts ]; then
    awk -v p="$(figure predownload_served_bytes)" -v u="$(figure update_without_predownload_served_bytes)" \
        -v b="$rel2_bytes" 'BEGIN { printf "predownload_vs_update_served: %.2f x (goal <= 1.1; %d against %d bytes, the files %d)\n", p / u, p, u, b }'
fi
# The update against the mean of the peer's runs before and after it.
ratio() { # name peer [cpu]
    awk -F': ' -v n="$1" -v p="$2" -v b="$rel2_bytes" -v cpu="${3:-}" '
        { split($2, v, " "); x[$1] = v[1]; c[$1] = v[4] }
        END {
            u = x["update_without_extraction"]
            w = (x[p "_before"] + x[p "_after"]) / 2
            if (cpu) {
                uc = x["update_cpu_without_extraction"]
                pc = (c[p "_before"] + c[p "_after"]) / 2
                printf "%s_cpu: %.2f x (%.3f against %.3f s)\n", n, uc / pc, uc, pc
            } else {
                printf "%s: %.2f x (goal <= 1.2; %.0f against %.0f MiB/s)\n", n, u / w, b / 1048576 / u,
                    b / 1048576 / w
            }
        }' "$work/figures.txt"
}
ratio update_without_extraction_vs_md5sum_mv peer_md5sum_mv cpu
ratio update_without_extraction_vs_parallel_md5sum_mv peer_parallel_md5sum_mv cpu
ratio update_without_extraction_vs_md5sum_mv peer_md5sum_mv
ratio update_without_extraction_vs_parallel_md5sum_mv peer_parallel_md5sum_mv
