#!/usr/bin/env bash
# fetch-libsodium.sh ARCH [CACHE_DIR]: prints the prefix of a static libsodium built for Windows with
# Debian's mingw-w64 compilers (ARCH i686 or x86_64): PREFIX/include and PREFIX/lib/libsodium.a.
# On first use it downloads the sources from Debian's libsodium source package and builds them into
# CACHE_DIR (default tools/windows/cache) with sodium/CMakeLists.txt (fetch-static-lib.sh); later calls
# only print the path. Needs network access to the Debian mirror on first use only.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/fetch-static-lib.sh" libsodium "${1:?ARCH: i686 or x86_64}" "${2:-$here/cache}"
