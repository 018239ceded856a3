#!/bin/sh
# Builds and runs the extraction benchmark. Usage: bench/run-extract.sh [build-dir] [bench_extract options]
# Needs unzip and bsdtar (Debian: unzip, libarchive-tools) for the comparison figures.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
[ $# -gt 0 ] && shift
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target bench_extract >/dev/null
exec "$build/bench/bench_extract" "$@"
