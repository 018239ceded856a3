# Sourced by the benchmark scripts: the CDN is tools/stack's nginx (its event-log and crash
# servers idle) on a free local port. As root the stack runs nginx's workers as root too, so they
# can read the private temporary data folder.
# Needs $root (the repository) and $build; sets $work, $data, $port and $base.
#   need_tools TOOL...          stops the run (exit 2) naming the first tool missing
#   build_targets TARGET...     configures $build if it has no cache, then builds the targets
#                               (BENCH_SKIP_BUILD=1: built already; a shared build folder builds
#                               under its own lock)
#   make_work NAME      a temporary folder for the run (removed at exit, with the CDN stopped)
#   stop_cdn
#   start_cdn CDN_ROOT PROBE_FILE [rate cap per connection]
# PROBE_FILE is a file under the CDN path that must answer a range request, or the run stops here.
#   random_release MIB NAME...   $data/v1_NAME of MIB MiB of random bytes each (kept while the size fits),
#                                and $work/list.txt with a "name md5 size" line per file

need_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
    done
}

build_targets() {
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    [ $# -eq 0 ] || [ "${BENCH_SKIP_BUILD:-0}" = 1 ] || cmake --build "$build" --target "$@" >/dev/null
}

make_work() {
    work=$(mktemp -d "/tmp/kv-bench-$1.XXXXXX")
    data=${BENCH_DATA_DIR:-"$work/data"}
    mkdir -p "$data"
    trap 'stop_cdn; rm -rf "$work"' EXIT
}

stop_cdn() {
    "$root/tools/stack" stop "$work/stack" >/dev/null 2>&1 || true
}

start_cdn() {
    local cdn_root=$1 probe=$2 limit=() attempt code
    [ -n "${3:-}" ] && limit=(--limit-rate "$3")
    stop_cdn
    for attempt in $(seq 1 20); do
        port=$((20000 + RANDOM % 20000))
        if "$root/tools/stack" start "$work/stack" --build "$build" --cdn-root "$cdn_root" --workers 2 \
            --cdn-port "$port" --log-port $((port + 1)) --crash-port $((port + 2)) "${limit[@]}" \
            >"$work/stack.log" 2>&1; then
            base="http://127.0.0.1:$port/sea/win_update/"
            # A server that answers but cannot read the files would fail every run; stop here instead.
            code=$(curl -s -o /dev/null -w '%{http_code}' -r 0-0 "$base$probe" || true)
            if [ "$code" != 206 ]; then
                echo "the CDN answers HTTP $code to a range request for $base$probe" >&2
                tail -n 5 "$work/stack/logs/nginx-error.log" >&2 2>/dev/null || true
                exit 1
            fi
            : >"$work/stack/logs/nginx-access.log"
            return 0
        fi
        grep -q "already in use" "$work/stack.log" || break
    done
    echo "cannot start the CDN:" >&2
    cat "$work/stack.log" >&2
    exit 2
}

random_release() {
    local mib_each=$1 f want
    shift
    want=$((mib_each * 1048576))
    : >"$work/list.txt"
    for f in "$@"; do
        if [ ! -f "$data/v1_$f" ] || [ "$(stat -c %s "$data/v1_$f")" != "$want" ]; then
            head -c "$want" /dev/urandom >"$data/v1_$f.tmp"
            mv "$data/v1_$f.tmp" "$data/v1_$f"
        fi
        echo "$f $(md5sum "$data/v1_$f" | cut -d' ' -f1) $want" >>"$work/list.txt"
    done
}
