#!/usr/bin/env bash
# fetch-libsodium.sh ARCH [CACHE_DIR]: prints the prefix of a static libsodium built for Windows with
# Debian's mingw-w64 compilers (ARCH i686 or x86_64): PREFIX/include and PREFIX/lib/libsodium.a.
# On first use it downloads the sources from Debian's libsodium source package and builds them into
# CACHE_DIR (default tools/windows/cache; fetch-debian-source.sh) with sodium/CMakeLists.txt; later calls
# only print the path. Needs network access to the Debian mirror on first use only.
set -euo pipefail
arch=${1:?ARCH: i686 or x86_64}
case $arch in
    i686 | x86_64) ;;
    *) echo "fetch-libsodium: unknown architecture $arch (i686 or x86_64)" >&2; exit 2 ;;
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
    for d in "$cache"/libsodium-*/; do
        if [[ -f $d/src/libsodium/include/sodium.h && -f $d/builds/msvc/version.h ]]; then
            echo "${d%/}"
            return 0
        fi
    done
    return 1
}

if ! src=$(source_dir); then
    "$here/fetch-debian-source.sh" libsodium "$cache"
    src=$(source_dir) || { echo "fetch-libsodium: libsodium's source package has no sodium.h" >&2; exit 1; }
fi

prefix=$cache/$(basename "$src")-$arch
if [[ ! -f $prefix/lib/libsodium.a ]]; then
    command -v "$triplet-gcc-posix" >/dev/null ||
        { echo "fetch-libsodium: $triplet-gcc-posix missing (see tools/windows/debian-packages.txt)" >&2; exit 2; }
    work=$(mktemp -d "$cache/build-sodium-$arch.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    args=(-S "$here/sodium" -B "$work" -DCMAKE_TOOLCHAIN_FILE="$here/toolchain-mingw.cmake"
        -DMINGW_ARCH="$arch" -DCMAKE_BUILD_TYPE=Release -DSODIUM_SOURCE="$src" -DCMAKE_INSTALL_PREFIX="$prefix.tmp")
    command -v ninja >/dev/null && args+=(-G Ninja)
    args+=("${KV_CCACHE_CMAKE_ARGS[0]}")
    (cmake "${args[@]}" >&2 && cmake --build "$work" -j"${JOBS:-$(nproc)}" >&2 &&
        cmake --install "$work" >&2) || { echo "fetch-libsodium: the $arch build failed" >&2; exit 1; }
    rm -rf "$prefix"
    mv "$prefix.tmp" "$prefix"
fi
echo "$prefix"
