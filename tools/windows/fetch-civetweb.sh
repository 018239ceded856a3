#!/usr/bin/env bash
# fetch-civetweb.sh ARCH [CACHE_DIR]: prints the prefix of a static civetweb (the HTTP server library
# the launcher serves game files to nearby launchers with) built for Windows with Debian's mingw-w64
# compilers (ARCH i686 or x86_64): PREFIX/include/civetweb.h and PREFIX/lib/libcivetweb.a.
# On first use it downloads the sources from Debian's civetweb source package and builds them into
# CACHE_DIR (default tools/windows/cache) with civetweb/CMakeLists.txt (fetch-static-lib.sh); later
# calls only print the path. Needs network access to the Debian mirror on first use only.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/fetch-static-lib.sh" civetweb "${1:?ARCH: i686 or x86_64}" "${2:-$here/cache}"
