# shellcheck shell=bash
# Sourced by the build scripts (tools/test.sh, tools/fuzz.sh, tools/windows/build.sh and
# fetch-libsodium.sh): every build of every clone on this machine goes through one compiler cache kept
# outside the clones, so a fresh clone in any folder (as CI makes) compiles only what changed.
#   KV_CCACHE_DIR      the cache (default /var/cache/kestrivane/ccache where that can be written, else
#                      ${XDG_CACHE_HOME:-$HOME/.cache}/kestrivane/ccache)
#   KV_CCACHE_MAXSIZE  its bound (default 8G: the Linux, sanitizer, fuzz and both Windows builds fit)
# Build folders inside the clone (build, build-asan, build-fuzz, build-windows-ci) hit what any other
# clone's compiled, whatever folder it is in.
#   CCACHE_DISABLE=1   compiles without it (ccache's own switch), to rule out a wrong hit
# Sets KV_CCACHE_CMAKE_ARGS, the compiler launcher arguments for a cmake configure step (empty launchers
# without ccache, so that a build folder configured with it still builds), and defines
# kv_ccache_summary, which prints where the cache is and its hits and misses since this file was sourced.
# Without ccache the builds run as before, after one line saying so.

kv_ccache_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck disable=SC2034 # used by the scripts that source this file
KV_CCACHE_CMAKE_ARGS=()
# rcc writes each resource file's modification time into the generated source, and a fresh clone's
# files are as new as the clone: one fixed time (nothing reads a resource's time) keeps the biggest
# source of the build the same in every clone, with or without ccache.
export QT_RCC_SOURCE_DATE_OVERRIDE=${QT_RCC_SOURCE_DATE_OVERRIDE:-1}

kv_ccache_counts() {
    ccache --print-stats 2>/dev/null | awk -F'\t' '
        $1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" { hits += $2 }
        $1 == "cache_miss" { misses = $2 }
        $1 == "cache_size_kibibyte" { size = $2 }
        END { print hits + 0, misses + 0, size + 0 }'
}

if command -v ccache >/dev/null 2>&1; then
    kv_ccache_dir=${KV_CCACHE_DIR:-/var/cache/kestrivane/ccache}
    if ! mkdir -p "$kv_ccache_dir" 2>/dev/null || [ ! -w "$kv_ccache_dir" ]; then
        kv_ccache_dir=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/kestrivane/ccache
        mkdir -p "$kv_ccache_dir"
    fi
    export CCACHE_DIR=$kv_ccache_dir
    export CCACHE_MAXSIZE=${KV_CCACHE_MAXSIZE:-8G}
    # CMake names sources and include folders (of the clone and of its build folder: autogen mocs,
    # header links, generated constants) by absolute path; under the clone they are rewritten relative
    # to the compiler's working folder, which is the same in every clone.
    export CCACHE_BASEDIR=$kv_ccache_root
    # Every build here has debug information (-g), for which ccache would otherwise hash the working
    # folder. A hit made in another clone names that clone's folder in its debug information (gdb's
    # "directory" or "set substitute-path" points it at this one); a first build names its own.
    export CCACHE_NOHASHDIR=1
    # Qt's test module gives every test the build folder as QT_TESTCASE_BUILDDIR, which only
    # QFINDTESTDATA reads; no test here does (they find their data through KESTRIVANE_SOURCE_DIR), and
    # without this every test's main would be compiled again in each clone. Definitions whose folder a
    # program does use (a helper's path, the fonts) still make a clone compile its own.
    export CCACHE_IGNOREOPTIONS="-DQT_TESTCASE_BUILDDIR=*"
    KV_CCACHE_CMAKE_ARGS=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    read -r kv_ccache_hits0 kv_ccache_misses0 _ <<<"$(kv_ccache_counts)"
    if [ "${KV_CCACHE_ANNOUNCED:-}" != "$CCACHE_DIR" ]; then
        echo "ccache: compiling through $CCACHE_DIR (at most $CCACHE_MAXSIZE, base folder $CCACHE_BASEDIR)" >&2
        export KV_CCACHE_ANNOUNCED=$CCACHE_DIR
    fi
else
    # shellcheck disable=SC2034
    KV_CCACHE_CMAKE_ARGS=(-DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER=)
    echo "ccache: not installed, compiling without a cache (tools/debian-packages.txt lists it)" >&2
fi

# One line: the cache, this run's hits and misses (of every build on the machine meanwhile), its size;
# `kv_ccache_summary --totals` adds ccache's own summary of the cache since its figures were zeroed.
kv_ccache_summary() {
    command -v ccache >/dev/null 2>&1 || return 0
    local hits misses size
    read -r hits misses size <<<"$(kv_ccache_counts)"
    hits=$((hits - kv_ccache_hits0))
    misses=$((misses - kv_ccache_misses0))
    local rate="-"
    if [ $((hits + misses)) -gt 0 ]; then rate="$((100 * hits / (hits + misses))) %"; fi
    echo "ccache: $CCACHE_DIR: this run $hits hits, $misses misses (hit rate $rate); cache $((size / 1024)) MiB of $CCACHE_MAXSIZE"
    if [ "${1:-}" = "--totals" ]; then
        ccache -s 2>/dev/null | sed 's/^/  /' || true
    fi
}
