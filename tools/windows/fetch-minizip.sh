#!/usr/bin/env bash
# fetch-minizip.sh [CACHE_DIR]: prints the path of minizip's sources (contrib/minizip of Debian's zlib
# source package), downloading and unpacking them into CACHE_DIR (default tools/windows/cache) first if
# they are not there yet (fetch-debian-source.sh). Both the Linux and the Windows build compile the zip
# reader from these sources: Debian's libminizip (1.1) compares the sizes of a zip64 entry with
# (unsigned long)-1, which is not 0xffffffff on 64-bit Linux, so it never reads the real sizes from the
# zip64 extra field.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${1:-$here/cache}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

found() {
    local d
    for d in "$cache"/zlib-*/contrib/minizip; do
        if [[ -f $d/unzip.c && -f $d/ioapi.c ]]; then
            echo "$d"
            return 0
        fi
    done
    return 1
}
if found; then exit 0; fi
"$here/fetch-debian-source.sh" zlib "$cache"
found || { echo "fetch-minizip: zlib's source package has no contrib/minizip" >&2; exit 1; }
