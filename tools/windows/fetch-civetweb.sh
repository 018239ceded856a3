#!/usr/bin/env bash
# fetch-civetweb.sh ARCH [CACHE_DIR]: prints the prefix of a static civetweb (the HTTP server library
# the launcher serves game files to nearby launchers with) built for Windows with Debian's mingw-w64
# compilers (ARCH i686 or x86_64): PREFIX/include/civetweb.h and PREFIX/lib/libcivetweb.a.
# On first use it downloads the sources from Debian's civetweb source package and builds them into
# CACHE_DIR (default tools/windows/cache; fetch-debian-source.sh) with civetweb/CMakeLists.txt; later
# calls only print the path. Needs network access to the Debian mirror on first use only.
set -euo pipefail
arch=${1:?ARCH: i686 or x86_64}
case $arch in
    i686 | x86_64) ;;
    *) echo "fetch-civetweb: unknown architecture $arch (i686 or x86_64)" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
cache=${2:-$here/cache}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
triplet=$arch-w64-mingw32
# The machine's ccache (its one line goes to stderr: stdout is the prefix). The library is C only.
source "$here/../ccache-env.sh"

source_dir() {
    local d
    for d in "$cache"/civetweb-*/; do
        if [[ -f $d/src/civetweb.c && -f $d/include/civetweb.h ]]; then
            echo "${d%/}"
            return 0
        fi
    done
    return 1
}

if ! src=$(source_dir); then
    "$here/fetch-debian-source.sh" civetweb "$cache"
    src=$(source_dir) || { echo "fetch-civetweb: civetweb's source package has no civetweb.c" >&2; exit 1; }
fi

prefix=$cache/$(basename "$src")-$arch
# The build's own settings are part of the cached library: a changed CMakeLists.txt builds it anew.
stamp=$(sha256sum "$here/civetweb/CMakeLists.txt" | cut -d' ' -f1)
if [[ ! -f $prefix/lib/libcivetweb.a || $(cat "$prefix/stamp" 2>/dev/null) != "$stamp" ]]; then
    command -v "$triplet-gcc-posix" >/dev/null ||
        { echo "fetch-civetweb: $triplet-gcc-posix missing (see tools/windows/debian-packages.txt)" >&2; exit 2; }
    work=$(mktemp -d "$cache/build-civetweb-$arch.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    args=(-S "$here/civetweb" -B "$work" -DCMAKE_TOOLCHAIN_FILE="$here/toolchain-mingw.cmake"
        -DMINGW_ARCH="$arch" -DCMAKE_BUILD_TYPE=Release -DCIVETWEB_SOURCE="$src" -DCMAKE_INSTALL_PREFIX="$prefix.tmp")
    command -v ninja >/dev/null && args+=(-G Ninja)
    args+=("${KV_CCACHE_CMAKE_ARGS[0]}")
    (cmake "${args[@]}" >&2 && cmake --build "$work" -j"${JOBS:-$(nproc)}" >&2 &&
        cmake --install "$work" >&2) || { echo "fetch-civetweb: the $arch build failed" >&2; exit 1; }
    echo "$stamp" >"$prefix.tmp/stamp"
    rm -rf "$prefix"
    mv "$prefix.tmp" "$prefix"
fi
echo "$prefix"
