#!/bin/sh
# Releases going up while launchers check every second through two caching proxies (an nginx WebDAV
# origin, rclone's webdav remote): kv-publish --upload with today's launcher, then a plain
# `rclone copy` of the published folder (and with --ignore-times, every file copied) with the launcher as
# it was before digest-named signatures.
# Usage: bench/run-upload.sh [build-dir] [releases, default 10]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
releases=${2:-10}
cmake --build "$build" --target bench_upload kv-publish >/dev/null
"$build/bench/bench_upload" "$build" "$root" upload "$releases"
"$build/bench/bench_upload" "$build" "$root" rclone-copy "$releases"
"$build/bench/bench_upload" "$build" "$root" rclone-copy-all "$releases"
