#!/bin/bash
# Local-network benchmark: two PCs and a CDN on one local network, each a network namespace on one
# bridge (tests/support/netns.sh) with a private address:
#   cdn  10.77.0.1  nginx (tools/stack) on its own 127.0.0.1, reached only through the capping proxy
#                   (bench/support/capproxy.py) on 10.77.0.1:8000: BENCH_LAN_CAP bytes a second over
#                   all connections together, as a CDN behind a full uplink
#   pc1  10.77.0.2  an uncapped nginx on 10.77.0.2:8080 serving the same folder: the same install
#                   from a CDN as fast as the local network, for the comparison; its event log on
#                   127.0.0.1:8081 in pc1
#   pc2  10.77.0.3  its event log on 127.0.0.1:8081 in pc2
# The PCs route through the CDN's address, so a launcher in them finds the network it would at home.
# The release, published with kv-publish (signed with BENCH_LAN_SIGN_KEY, by default the end-to-end
# suite's test key): Quelvane_Data.pak of 128 MiB with its block map, 50 small files level_01.dat ..
# level_50.dat (1 to 256 KiB), Quelvane_Assets.zip of 500 entries (about 100 MiB, a quarter of them
# deflated) with its entry index, Quelvane.exe (the stub game) and Kestrivane.exe (at version
# BENCH_LAN_LAUNCHER_VERSION, so a launcher of that version finds no update of itself). Release 2,
# prepared beside it and published by `publish_release 2`, changes 16 stretches of 64 KiB of the
# large file, the first five small files and 12 entries of the archive. The content is seeded: every
# run gives the same bytes.
#
# The stage prints its addresses, ports and release figures ("stage ready"), then proves itself: a
# curl in pc2 fetches 8 MiB of the large file through the capped CDN and the whole file from pc1's
# uncapped nginx, each checked against the published bytes, and prints their rates. Everything it
# started, the namespaces and the bridge go when it ends, also on a failure or Ctrl+C.
#
# Then the launchers (kv_launcher_envapp, headless, one folder per PC, trusting the signing key's
# public half beside it), each run timed from its start until it says the game may start:
#   1. pc2, empty, installs release 1 from pc1's uncapped nginx, sharing off: the reference time;
#   2. pc1 gets that install copied and checks it (--verify), then serves it;
#   3. pc2, empty, installs release 1 from the capped CDN beside pc1: its time, the game-file bytes
#      from the CDN and from pc1 (from its download's end event), the archive's bytes from the CDN
#      (its entry index and the ranges of its "archive patched" event: the archive unpacks from the
#      entries pc1 sends) and all the capped CDN sent;
#   4. release 2 is published; pc1 updates to it from the capped CDN, then pc2 (with release 1)
#      updates beside it: the bytes of its changed blocks and files from pc1 and from the CDN, and
#      the archive's changed entries from pc1 and from the CDN.
# Goals, printed last: CDN game-file bytes of the install at most 8 MiB, the archive's at most its
# entry index and 1 MiB, and the install's time at most 1.25 times the reference.
#
# Usage: bench/run-lan.sh [build-dir]
#   BENCH_LAN_CAP               the CDN's cap in bytes a second (default 2000000)
#   BENCH_LAN_SIGN_KEY          minisign secret key that signs the release
#   BENCH_LAN_LAUNCHER_VERSION  version of Kestrivane.exe in the release (default 0.11)
#   BENCH_LAN_LOGS              keep the launchers' logs there (lines with times)
#   BENCH_SKIP_BUILD=1          kv-publish, kv-sink, fakegame and kv_launcher_envapp are built already
#
# Needs root, iproute2, nginx, python3, curl and md5sum.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
cap=${BENCH_LAN_CAP:-2000000}
sign_key=${BENCH_LAN_SIGN_KEY:-"$root/tests/e2e/release-test.key"}
launcher_version=${BENCH_LAN_LAUNCHER_VERSION:-0.11}
[[ $cap =~ ^[1-9][0-9]*$ ]] || { echo "BENCH_LAN_CAP must be a positive number of bytes a second" >&2; exit 2; }
[ -f "$sign_key" ] || { echo "no signing key at $sign_key (BENCH_LAN_SIGN_KEY)" >&2; exit 2; }
for tool in ip nginx python3 curl md5sum; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
done
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
[ "${BENCH_SKIP_BUILD:-0}" = 1 ] ||
    cmake --build "$build" --target kv-publish kv-sink fakegame kv_launcher_envapp >/dev/null

# shellcheck source=tests/support/netns.sh
. "$root/tests/support/netns.sh"
if ! why=$(netns_available); then
    echo "cannot build the stage: $why" >&2
    exit 2
fi
netns_sweep

cdn_addr=10.77.0.1
pc1_addr=10.77.0.2
pc2_addr=10.77.0.3
capped_port=8000
nginx_port=8080
log_port=8081
crash_port=8329
mib=1048576

work=$(mktemp -d /tmp/kv-bench-lan.XXXXXX)
stacks=()
cleanup() {
    local dir
    for dir in "${stacks[@]}"; do
        "$root/tools/stack" stop "$dir" >/dev/null 2>&1 || true
    done
    # Whatever is left in the namespaces (the proxy, a launcher) ends with them.
    netns_down
    if [ -n "${BENCH_LAN_LOGS:-}" ]; then
        mkdir -p "$BENCH_LAN_LOGS"
        for dir in pc1 pc2; do cp "$work/$dir/"log*.txt "$BENCH_LAN_LOGS/" 2>/dev/null || true; done
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
    echo "$*" >&2
    exit 1
}

# The release files, seeded: make_release DIR N writes release N's files into DIR.
make_release() {
    python3 - "$1" "$2" <<'PY'
import os, random, sys
out, release = sys.argv[1], int(sys.argv[2])
os.makedirs(out, exist_ok=True)
big = 128 * 1048576
data = bytearray(random.Random(49).randbytes(big))
if release == 2:
    changes = random.Random(492)
    for _ in range(16):
        at = changes.randrange(0, big // 65536) * 65536
        data[at : at + 65536] = changes.randbytes(65536)
with open(os.path.join(out, "Quelvane_Data.pak"), "wb") as f:
    f.write(data)
sizes = random.Random(50)
for i in range(1, 51):
    size = sizes.randrange(1024, 256 * 1024 + 1)
    seed = 5000 + i + (10000 if release == 2 and i <= 5 else 0)
    with open(os.path.join(out, "level_%02d.dat" % i), "wb") as f:
        f.write(random.Random(seed).randbytes(size))
# The archive: 500 entries of 40 to 380 KiB, every fourth deflated (text-like, so it shrinks);
# release 2 changes 12 of them.
import zipfile
sizes = random.Random(51)
changed = set(random.Random(512).sample(range(500), 12)) if release == 2 else set()
words = [b"quelvane", b"terrain", b"sprite", b"sound", b"mesh", b"level", b"shader", b"\n"]
with zipfile.ZipFile(os.path.join(out, "Quelvane_Assets.zip"), "w") as z:
    for i in range(500):
        size = sizes.randrange(40 * 1024, 380 * 1024)
        rng = random.Random(7000 + i + (100000 if i in changed else 0))
        info = zipfile.ZipInfo("assets/a_%03d.bin" % i, date_time=(2026, 1, 1, 0, 0, 0))
        if i % 4 == 0:
            data = b" ".join(rng.choice(words) for _ in range(size // 6))[:size]
            info.compress_type = zipfile.ZIP_DEFLATED
        else:
            data = rng.randbytes(size)
            info.compress_type = zipfile.ZIP_STORED
        z.writestr(info, data)
PY
    if [ -x "$build/bin/fakegame" ]; then
        cp "$build/bin/fakegame" "$1/Quelvane.exe"
    else
        printf 'placeholder game\n' >"$1/Quelvane.exe"
    fi
    printf 'placeholder launcher %s\n' "$launcher_version" >"$1/Kestrivane.exe"
}

cdn_dir=$work/cdn
# publish_release N: release N's files into the CDN folder, the version file last.
publish_release() {
    local names=() i
    if [ "$1" = 1 ]; then
        names=(Quelvane_Data.pak=1 Quelvane_Assets.zip=1 Quelvane.exe=1 "Kestrivane.exe=$launcher_version")
        for i in $(seq -w 1 50); do names+=("level_$i.dat=1"); done
    else
        names=(Quelvane_Data.pak=2 Quelvane_Assets.zip=2)
        for i in 01 02 03 04 05; do names+=("level_$i.dat=2"); done
    fi
    "$build/bin/kv-publish" --cdn "$cdn_dir" --release "$work/release$1" --sign-key "$sign_key" "${names[@]}" \
        >"$work/publish$1.log" 2>&1 || { cat "$work/publish$1.log" >&2; fail "kv-publish failed for release $1"; }
}

make_release "$work/release1" 1
make_release "$work/release2" 2
publish_release 1
[ -f "$cdn_dir/v1_Quelvane_Data.pak.blockmap" ] || fail "kv-publish made no block map for Quelvane_Data.pak"
[ -f "$cdn_dir/v1_Quelvane_Assets.zip.zipindex" ] || fail "kv-publish made no entry index for Quelvane_Assets.zip"

netns_up cdn "$cdn_addr/24"
netns_up pc1 "$pc1_addr/24" "$cdn_addr"
netns_up pc2 "$pc2_addr/24" "$cdn_addr"

# start_stack HOST BIND: tools/stack in the host's namespace, serving the CDN folder.
start_stack() {
    local dir=$work/stack-$1
    stacks+=("$dir")
    netns_exec "$1" "$root/tools/stack" start "$dir" --build "$build" --bind "$2" --cdn-root "$cdn_dir" \
        --cdn-port "$nginx_port" --log-port "$log_port" --crash-port "$crash_port" >"$work/stack-$1.log" 2>&1 ||
        { cat "$work/stack-$1.log" >&2; fail "cannot start the servers in $1"; }
}
start_stack cdn 127.0.0.1
start_stack pc1 0.0.0.0
start_stack pc2 127.0.0.1

netns_exec cdn python3 "$root/bench/support/capproxy.py" "$capped_port" "$nginx_port" "$cap" "$work/cdn-sent" \
    --listen "$cdn_addr" 2>>"$work/proxy.log" &
capped_base="http://$cdn_addr:$capped_port/sea/win_update/"
uncapped_base="http://$pc1_addr:$nginx_port/sea/win_update/"
for ((i = 0; i < 100; i++)); do
    netns_exec pc2 curl -s -o /dev/null --max-time 2 "${capped_base}version3.txt" && break
    sleep 0.05
done
[ "$i" -lt 100 ] || { cat "$work/proxy.log" >&2; fail "the capped CDN does not answer on $capped_base"; }

echo "# stage ready"
echo "namespace_cdn: $(netns_name cdn) $cdn_addr"
echo "namespace_pc1: $(netns_name pc1) $pc1_addr"
echo "namespace_pc2: $(netns_name pc2) $pc2_addr"
echo "cdn_capped_url: $capped_base"
echo "cdn_cap: $cap bytes/s"
echo "pc1_uncapped_url: $uncapped_base"
echo "event_log_url: http://127.0.0.1:$log_port/c_bq_log/bq_log (in each namespace)"
echo "crash_url: http://127.0.0.1:$crash_port/api/crash-logs (in each namespace)"
echo "release_folder: $cdn_dir"
echo "release_1_files: $(grep -c : "$cdn_dir/version3.txt") files"
echo "release_1_bytes: $(awk -F: '{ s += $4 } END { print s }' "$cdn_dir/version3.txt") bytes"
echo "release_1_large_file: Quelvane_Data.pak $(stat -c %s "$cdn_dir/v1_Quelvane_Data.pak") bytes, map $(stat -c %s "$cdn_dir/v1_Quelvane_Data.pak.blockmap") bytes"
index_bytes=$(stat -c %s "$cdn_dir/v1_Quelvane_Assets.zip.zipindex")
echo "release_1_archive: Quelvane_Assets.zip $(stat -c %s "$cdn_dir/v1_Quelvane_Assets.zip") bytes, 500 entries, index $index_bytes bytes"
echo "release_2_changed: Quelvane_Data.pak $(cmp -l "$work/release1/Quelvane_Data.pak" "$work/release2/Quelvane_Data.pak" | wc -l) bytes differ, level_01..05.dat"

# fetch HOST URL RANGE: bytes a second of one curl in HOST; the bytes land in $work/fetched.
fetch() {
    local range=()
    [ -n "$3" ] && range=(-r "$3")
    netns_exec "$1" curl -sf "${range[@]}" -o "$work/fetched" -w '%{speed_download}' "$2" ||
        fail "curl in $1 could not fetch $2"
}
expect_bytes() {
    [ "$(md5sum <"$work/fetched")" = "$(head -c "$1" "$cdn_dir/v1_Quelvane_Data.pak" | md5sum)" ] ||
        fail "the bytes fetched from $2 differ from the release"
}
capped_rate=$(fetch pc2 "${capped_base}v1_Quelvane_Data.pak" "0-$((8 * mib - 1))")
expect_bytes $((8 * mib)) "the capped CDN"
uncapped_rate=$(fetch pc2 "${uncapped_base}v1_Quelvane_Data.pak" "")
expect_bytes $((128 * mib)) "pc1's nginx"
echo "# stage proof: curl in pc2"
awk -v r="$capped_rate" -v c="$cap" 'BEGIN {
    printf "curl_capped_cdn_8_mib: %.2f MB/s\n", r / 1e6
    printf "curl_capped_cdn_vs_cap: %.3f\n", r / c }'
awk -v r="$uncapped_rate" 'BEGIN { printf "curl_pc1_uncapped_128_mib: %.1f MB/s\n", r / 1e6 }'
awk -v u="$uncapped_rate" -v r="$capped_rate" 'BEGIN { printf "ratio_uncapped_vs_capped: %.1f\n", u / r }'

# Release 2 on the CDN, as the update runs will find it: the version file lists the changed files.
publish_release 2
netns_exec pc2 curl -sf -o "$work/fetched" "${capped_base}version3.txt" || fail "no version file after release 2"
grep -q '^Quelvane_Data.pak:2:' "$work/fetched" || fail "release 2's version file does not list Quelvane_Data.pak 2"
echo "release_2_published: $(grep -c ':2:' "$work/fetched") files at version 2"

# The launchers: the launcher with its build constants from the environment (kv_launcher_envapp), one
# folder per PC, its event log the kv-sink of its namespace. Only the release key of the suite is trusted.
launcher_bin=$build/tests/kv_launcher_envapp
[ -x "$launcher_bin" ] || fail "no launcher at $launcher_bin (build kv_launcher_envapp)"
public_key=$(sed -n 2p "${sign_key%.key}.pub")
runs=0
events_of() { echo "$work/stack-$1/sink/events.jsonl"; }
count_events() { grep -c "\"event\":\"$2\"" "$(events_of "$1")" 2>/dev/null || true; }

# start_launcher HOST CDN_BASE SHARE [ARGS...]: the launcher of HOST in the background ($launcher_pid),
# logging to $work/HOST/log-N-HOST.txt (the Nth start); SHARE 0 switches sharing with the local network off.
start_launcher() {
    local host=$1 cdn=$2 share=$3 dir=$work/$1
    shift 3
    mkdir -p "$dir/install" "$dir/config"
    cp "$launcher_bin" "$dir/install/Kestrivane"
    runs=$((runs + 1))
    if [ "$share" = 0 ]; then
        printf '[global_settings]\nshare_with_local_network=0\n' >"$dir/install/settings.ini"
    else
        rm -f "$dir/install/settings.ini"
    fi
    # Not through netns_exec: $! must be the launcher itself (ip execs it), not a subshell.
    ip netns exec "$(netns_name "$host")" env XDG_CONFIG_HOME="$dir/config" QT_QPA_PLATFORM=offscreen \
        QT_MESSAGE_PATTERN='%{time process} %{message}' \
        KESTRIVANE_TEST_CDN_BASE_URL="$cdn" KESTRIVANE_TEST_CDN_MIRRORS= \
        KESTRIVANE_TEST_LOG_URL="http://127.0.0.1:$log_port/c_bq_log/bq_log" \
        KESTRIVANE_TEST_CRASH_UPLOAD_URL="http://127.0.0.1:$crash_port/api/crash-logs" \
        KESTRIVANE_TEST_LAUNCHER_VERSION="$launcher_version" KESTRIVANE_TEST_RELEASE_PUBLIC_KEY="$public_key" \
        "$dir/install/Kestrivane" "$@" >"$dir/log-$runs-$host.txt" 2>&1 &
    launcher_pid=$!
    eval "pid_$host=$launcher_pid"
}

stop_launcher() {
    local var=pid_$1
    [ -n "${!var:-}" ] || return 0
    kill -TERM "${!var}" 2>/dev/null || true
    wait "${!var}" 2>/dev/null || true
    eval "pid_$1="
}

# wait_ready HOST BEFORE: until HOST's launcher says the game may start for the BEFORE+1st time; prints
# the seconds since $t0.
wait_ready() {
    local host=$1 before=$2 var=pid_$1 i
    for ((i = 0; i < 6000; i++)); do
        [ "$(count_events "$host" "enable game btn")" -gt "$before" ] && break
        kill -0 "${!var}" 2>/dev/null || { tail -n 30 "$work/$host/log-$runs-$host.txt" >&2; fail "the launcher in $host ended"; }
        sleep 0.02
    done
    [ "$i" -lt 6000 ] || { tail -n 30 "$work/$host/log-$runs-$host.txt" >&2; fail "the launcher in $host was not ready in 120 s"; }
    awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'
}

# wait_serving HOST: until HOST's launcher serves and has checked its installed files (the files
# archives unpacked are offered only then).
wait_serving() {
    local i line
    for line in "serving the local network on port" "installed files checked for the local network"; do
        for ((i = 0; i < 3000; i++)); do
            grep -q "$line" "$work/$1/log-$runs-$1.txt" 2>/dev/null && break
            sleep 0.02
        done
        [ "$i" -lt 3000 ] && continue
        tail -n 30 "$work/$1/log-$runs-$1.txt" >&2
        fail "the launcher in $1 does not serve the local network (no \"$line\")"
    done
}

# The bytes of HOST's download that ended after BEFORE ends: "cdn peer" from its end event (which may
# arrive just after the game was said ready).
download_bytes() {
    local i
    for ((i = 0; i < 500; i++)); do
        [ "$(count_events "$1" "game src download finished")" -gt "$2" ] && break
        sleep 0.02
    done
    python3 - "$(events_of "$1")" <<'PY'
import json, sys
last = None
for line in open(sys.argv[1]):
    e = json.loads(line)
    if e.get("event") == "game src download finished":
        last = e
if last is None:
    sys.exit("no end of a download in " + sys.argv[1])
print(int(last.get("cdnBytes", -1)), int(last.get("peerBytes", -1)))
PY
}

# The "archive patched" event of HOST for the archive after its first SKIP ones: "fetchedBytes
# peerEntries entries"; "- - -" when there is none (the archive was fetched whole).
archive_patched() {
    python3 - "$(events_of "$1")" "$2" <<'PY'
import json, sys
last, skip = None, int(sys.argv[2])
for line in open(sys.argv[1]):
    e = json.loads(line)
    if e.get("event") == "archive patched" and e.get("file") == "Quelvane_Assets.zip":
        if skip > 0:
            skip -= 1
        else:
            last = e
if last is None:
    print("- - -")
else:
    print(int(last["fetchedBytes"]), int(last.get("peerEntries", 0)),
          int(last["kept"]) + int(last["copied"]) + int(last["fetched"]) + int(last.get("peerEntries", 0)))
PY
}
patched_count() {
    local n
    n=$(count_events "$1" "archive patched")
    echo "${n:-0}"
}

proxy_sent() { tr -dc 0-9 <"$work/cdn-sent" 2>/dev/null || echo 0; }

# timed_install HOST CDN_BASE RELEASE [ARGS...]: starts HOST's launcher (sharing on) and waits until its
# game may start with RELEASE installed; sets $took (seconds), $from_cdn and $from_peers (its download's
# end event), $cdn_sent (what the capped CDN sent meanwhile) and $patched_before.
timed_install() {
    local host=$1 cdn=$2 release=$3 ready ended sent
    shift 3
    ready=$(count_events "$host" "enable game btn")
    ended=$(count_events "$host" "game src download finished")
    patched_before=$(patched_count "$host")
    sent=$(proxy_sent)
    t0=$(date +%s.%N)
    start_launcher "$host" "$cdn" 1 "$@"
    took=$(wait_ready "$host" "$ready")
    check_install "$host" "$release"
    read -r from_cdn from_peers <<<"$(download_bytes "$host" "$ended")"
    cdn_sent=$(($(proxy_sent) - sent))
}

check_install() {
    local dir=$work/$1/install name
    for name in Quelvane_Data.pak level_01.dat level_50.dat; do
        cmp -s "$dir/$name" "$work/release$2/$name" || fail "$1 has a wrong $name after installing release $2"
    done
    python3 - "$dir" "$work/release$2/Quelvane_Assets.zip" <<'PY' || fail "$1 has wrong files of Quelvane_Assets.zip after installing release $2"
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[2]) as z:
    for info in z.infolist():
        with open(os.path.join(sys.argv[1], info.filename), "rb") as f:
            if f.read() != z.read(info):
                sys.exit("wrong " + info.filename)
PY
}

# The stage's proof left release 2 on the CDN: release 1 again (signed anew), until the update runs.
publish_release 1
cp "$cdn_dir/version3.txt" "$work/release1.list"
echo "# install of release 1 in pc2 (empty) from pc1's uncapped nginx, sharing off"
t0=$(date +%s.%N)
start_launcher pc2 "$uncapped_base" 0
uncapped_s=$(wait_ready pc2 0)
stop_launcher pc2
check_install pc2 1
echo "uncapped_cdn_install: $uncapped_s s"

echo "# pc1 gets release 1 copied and verified (--verify), then serves it"
rm -rf "$work/pc1/install"
mkdir -p "$work/pc1"
cp -a "$work/pc2/install" "$work/pc1/install"
ready_before=$(count_events pc1 "enable game btn")
t0=$(date +%s.%N)
start_launcher pc1 "$capped_base" 1 --verify
wait_ready pc1 "$ready_before" >/dev/null
wait_serving pc1

echo "# install of release 1 in pc2 (empty) from the CDN capped at $cap bytes/s, beside pc1"
# Its logs stay, for BENCH_LAN_LOGS.
rm -rf "$work/pc2/install" "$work/pc2/config"
timed_install pc2 "$capped_base" 1
lan_s=$took cdn_bytes=$from_cdn peer_bytes=$from_peers
game_bytes=$(grep -v '^Kestrivane.exe:' "$work/release1.list" | awk -F: '{ s += $4 } END { print s }')
[ $((cdn_bytes + peer_bytes)) -ge "$game_bytes" ] ||
    fail "the download's end event accounts for $((cdn_bytes + peer_bytes)) bytes of $game_bytes"
echo "lan_install: $lan_s s"
echo "lan_install_cdn_game_file_bytes: $cdn_bytes bytes ($(awk -v b="$cdn_bytes" 'BEGIN { printf "%.2f", b / 1048576 }') MiB)"
echo "lan_install_pc1_bytes: $peer_bytes bytes ($(awk -v b="$peer_bytes" 'BEGIN { printf "%.2f", b / 1048576 }') MiB)"
echo "lan_install_capped_cdn_sent: $cdn_sent bytes (everything, version file and maps too)"
read -r zip_fetched zip_peer zip_entries <<<"$(archive_patched pc2 "$patched_before")"
if [ "$zip_fetched" = - ]; then
    zip_cdn=$(stat -c %s "$cdn_dir/v1_Quelvane_Assets.zip")
    echo "lan_install_archive: fetched whole from the CDN"
else
    zip_cdn=$((zip_fetched + index_bytes))
    echo "lan_install_archive_entries_from_pc1: $zip_peer of $zip_entries"
fi
echo "lan_install_archive_cdn_bytes: $zip_cdn bytes (index $index_bytes, goal at most $((index_bytes + mib)))"

echo "# release 2: pc1 updates from the capped CDN, then pc2 updates beside it"
publish_release 2
stop_launcher pc2
stop_launcher pc1
timed_install pc1 "$capped_base" 2
wait_serving pc1
echo "pc1_update_from_cdn: $took s, $from_cdn bytes from the CDN, $from_peers from peers"
timed_install pc2 "$capped_base" 2
echo "lan_update: $took s"
echo "lan_update_cdn_game_file_bytes: $from_cdn bytes"
echo "lan_update_pc1_bytes: $from_peers bytes"
echo "lan_update_capped_cdn_sent: $cdn_sent bytes (everything)"
read -r up_zip_fetched up_zip_peer up_zip_entries <<<"$(archive_patched pc2 "$patched_before")"
echo "lan_update_archive: $up_zip_peer entries from pc1, $up_zip_fetched bytes of entries from the CDN ($up_zip_entries entries)"
stop_launcher pc2
stop_launcher pc1

awk -v c="$cdn_bytes" 'BEGIN { printf "goal_cdn_bytes_at_most_8_mib: %s\n", (c <= 8 * 1048576 ? "met" : "missed") }'
awk -v c="$zip_cdn" -v i="$index_bytes" 'BEGIN { printf "goal_archive_cdn_bytes_at_most_index_plus_1_mib: %s\n", (c <= i + 1048576 ? "met" : "missed") }'
awk -v l="$lan_s" -v u="$uncapped_s" 'BEGIN {
    printf "goal_time_at_most_1.25x_uncapped: %s\n", (l <= 1.25 * u ? "met" : "missed")
    printf "ratio_lan_vs_uncapped_cdn: %.2f\n", l / u }'
