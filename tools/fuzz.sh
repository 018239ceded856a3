#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each for a bounded time, starting from its corpus in tests/fuzz/corpus/<target>.
# A crash, a broken invariant, a leak, a hang or an oversized allocation fails the run; the input
# that caused it is kept in ARTIFACT_DIR/<target>/ (crash-*, leak-*, timeout-*, oom-*).
#   FUZZ_SECONDS (default 60) per target, FUZZ_TARGETS (default all: versionfile blockmap zipindex resumerecord signature catalogue smbios
#   peerframes instanceblock archive extractedfiles lanpeerrequest), FUZZ_BUILD_DIR (default build-fuzz), ARTIFACT_DIR (default
#   FUZZ_BUILD_DIR/fuzz-artifacts), FUZZ_JOBS (default: all cores, for the build),
#   FUZZ_PARALLEL (default: the number of cores) targets run at once, each with a core of its own,
#   FUZZ_CONCURRENT=1 to run all the targets at the same time (each at nice 19), FUZZ_NO_BUILD=1,
#   FUZZ_TIMEOUT (default 30) seconds one input may take before it counts as a hang.
# New inputs found on the way go to FUZZ_BUILD_DIR/fuzz-corpus/<target>, never into the sources;
# a regression input is added to tests/fuzz/corpus/<target>/ by hand as regress-<what>.
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE_DIR=$PWD
BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
ARTIFACT_DIR=${ARTIFACT_DIR:-$BUILD_DIR/fuzz-artifacts}
SECONDS_EACH=${FUZZ_SECONDS:-60}
TARGETS=(${FUZZ_TARGETS:-versionfile blockmap zipindex resumerecord signature catalogue smbios peerframes instanceblock archive
    extractedfiles lanpeerrequest})
GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi

if [ "${FUZZ_NO_BUILD:-0}" != "1" ]; then
    # Through the machine's ccache (tools/ccache-env.sh), like every other build.
    source tools/ccache-env.sh
    cmake -S . -B "$BUILD_DIR" "${GEN[@]}" "${KV_CCACHE_CMAKE_ARGS[@]}" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTRIVANE_FUZZ=ON -DKESTRIVANE_BUILD_TESTS=OFF -DKESTRIVANE_BUILD_TOOLS=OFF -DKESTRIVANE_BUILD_BENCH=OFF
    cmake --build "$BUILD_DIR" -j"${FUZZ_JOBS:-$(nproc)}" --target kv_fuzzers
    kv_ccache_summary
fi

# Leaks count: nothing the parsers allocate may outlive an input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen

run_target() {
    local target=$1 log=$2
    local corpus=$BUILD_DIR/fuzz-corpus/$target artifacts=$ARTIFACT_DIR/$target
    mkdir -p "$corpus" "$artifacts"
    local dict=()
    if [ -f "$SOURCE_DIR/tests/fuzz/dict/$target.dict" ]; then dict=(-dict="$SOURCE_DIR/tests/fuzz/dict/$target.dict"); fi
    # -timeout: one input may take FUZZ_TIMEOUT s at most (generous: shared machines stall);
    # -malloc_limit_mb: no single allocation of a parser may come near the frame or file caps;
    # -rss_limit_mb bounds the whole process.
    # The record reader parses JSON with Qt, whose parser loses a container of its own on some input:
    # full allocation stacks let the suppression pass over exactly that leak (tests/fuzz/lsan-qt-json.supp).
    local env=()
    if [ "$target" = resumerecord ]; then
        env=(env "ASAN_OPTIONS=$ASAN_OPTIONS:fast_unwind_on_malloc=0"
            "LSAN_OPTIONS=suppressions=$SOURCE_DIR/tests/fuzz/lsan-qt-json.supp:print_suppressions=0")
    fi
    "${NICE[@]}" "${env[@]}" "$BUILD_DIR/fuzz/fuzz_$target" -max_total_time="$SECONDS_EACH" -timeout="${FUZZ_TIMEOUT:-30}" -rss_limit_mb=1024 \
        -malloc_limit_mb=64 -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "${dict[@]}" \
        "$corpus" "$SOURCE_DIR/tests/fuzz/corpus/$target" >"$log" 2>&1
}

summary() {
    local target=$1 log=$2
    local execs cov
    execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}' || true)
    cov=$(grep -E '^#[0-9]+' "$log" | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -1 || true)
    echo "fuzz $target: ${execs:-?} executions, ${cov:-no coverage figures}"
}

mkdir -p "$ARTIFACT_DIR"
NICE=()
PARALLEL=${FUZZ_PARALLEL:-$(nproc)}
if [ "${FUZZ_CONCURRENT:-0}" = "1" ]; then
    NICE=(nice -n 19)
    PARALLEL=${#TARGETS[@]}
fi
[ "$PARALLEL" -ge 1 ] 2>/dev/null || PARALLEL=1
failed=()
declare -A running=()
# Waits for one running target to end; one that found something fails the run.
reap_one() {
    local pid="" status=0 target
    wait -n -p pid "${!running[@]}" || status=$?
    target=${running[$pid]}
    unset "running[$pid]"
    if [ "$status" -ne 0 ]; then
        failed+=("$target")
        tail -n 60 "$ARTIFACT_DIR/$target.log"
    fi
}
for target in "${TARGETS[@]}"; do
    while [ "${#running[@]}" -ge "$PARALLEL" ]; do
        reap_one
    done
    log=$ARTIFACT_DIR/$target.log
    echo "fuzz $target: ${SECONDS_EACH}s, log $log"
    run_target "$target" "$log" &
    running[$!]=$target
done
while [ "${#running[@]}" -gt 0 ]; do
    reap_one
done
for target in "${TARGETS[@]}"; do
    summary "$target" "$ARTIFACT_DIR/$target.log"
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: FAILED: ${failed[*]}; inputs kept in $ARTIFACT_DIR/<target>/" >&2
    ls -l "$ARTIFACT_DIR"/*/ >&2 || true
    exit 1
fi
echo "fuzz: all targets ran ${SECONDS_EACH}s without a finding"
