#!/bin/sh
# Second-start benchmark: a first launcher runs, then 20 more starts are timed from exec to exit.
# Usage: bench/run-second-start.sh [launcher-binary] [build-dir] [-- arguments for every start]
#   launcher-binary  default <build-dir>/bin/Kestrivane (built when missing)
#   build-dir        default build
# The single-instance test helper (<build-dir>/tests/instancehelper) stands in for the launcher
# where the launcher is not built.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
launcher=""
if [ $# -gt 0 ] && [ "$1" != "--" ]; then launcher=$1; shift; fi
build="$root/build"
if [ $# -gt 0 ] && [ "$1" != "--" ]; then build=$1; shift; fi
[ $# -gt 0 ] && [ "$1" = "--" ] && shift
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if [ -z "$launcher" ]; then
    launcher="$build/bin/Kestrivane"
    [ -x "$launcher" ] || cmake --build "$build" --target Kestrivane >/dev/null
fi
cmake --build "$build" --target bench_second_start >/dev/null
exec "$build/bench/bench_second_start" "$launcher" --runs 20 -- "$@"
