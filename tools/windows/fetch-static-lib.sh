#!/usr/bin/env bash
# fetch-static-lib.sh PACKAGE ARCH CACHE_DIR: prints the prefix of a static C library built for Windows
# with Debian's mingw-w64 compilers (ARCH i686 or x86_64) from Debian's source package PACKAGE, with the
# build settings in tools/windows/<its folder>/CMakeLists.txt. On first use it downloads the sources
# (fetch-debian-source.sh) and builds them into CACHE_DIR; later calls only print the path. A changed
# CMakeLists.txt builds the library anew. Called by fetch-libsodium.sh and fetch-civetweb.sh, which
# name the package's folder, its library and the files that mark its sources.
set -euo pipefail
package=${1:?PACKAGE}
arch=${2:?ARCH: i686 or x86_64}
cache=${3:?CACHE_DIR}
case $package in
    libsodium) settings=sodium lib=libsodium.a source_var=SODIUM_SOURCE
        markers=(src/libsodium/include/sodium.h builds/msvc/version.h) ;;
    civetweb) settings=civetweb lib=libcivetweb.a source_var=CIVETWEB_SOURCE
        markers=(src/civetweb.c include/civetweb.h) ;;
    *) echo "fetch-static-lib: no build settings for $package" >&2; exit 2 ;;
esac
case $arch in
    i686 | x86_64) ;;
    *) echo "fetch-$package: unknown architecture $arch (i686 or x86_64)" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
triplet=$arch-w64-mingw32
# The machine's ccache (its one line goes to stderr: stdout is the prefix). The libraries are C only.
source "$here/../ccache-env.sh"

source_dir() {
    local d m
    for d in "$cache/$package"-*/; do
        for m in "${markers[@]}"; do [[ -f $d/$m ]] || continue 2; done
        echo "${d%/}"
        return 0
    done
    return 1
}

if ! src=$(source_dir); then
    "$here/fetch-debian-source.sh" "$package" "$cache"
    src=$(source_dir) || { echo "fetch-$package: the source package lacks ${markers[*]}" >&2; exit 1; }
fi

prefix=$cache/$(basename "$src")-$arch
stamp=$(sha256sum "$here/$settings/CMakeLists.txt" | cut -d' ' -f1)
if [[ ! -f $prefix/lib/$lib || $(cat "$prefix/stamp" 2>/dev/null) != "$stamp" ]]; then
    command -v "$triplet-gcc-posix" >/dev/null ||
        { echo "fetch-$package: $triplet-gcc-posix missing (see tools/windows/debian-packages.txt)" >&2; exit 2; }
    work=$(mktemp -d "$cache/build-$package-$arch.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    args=(-S "$here/$settings" -B "$work" -DCMAKE_TOOLCHAIN_FILE="$here/toolchain-mingw.cmake"
        -DMINGW_ARCH="$arch" -DCMAKE_BUILD_TYPE=Release -D"$source_var=$src" -DCMAKE_INSTALL_PREFIX="$prefix.tmp")
    command -v ninja >/dev/null && args+=(-G Ninja)
    args+=("${KV_CCACHE_CMAKE_ARGS[0]}")
    (cmake "${args[@]}" >&2 && cmake --build "$work" -j"${JOBS:-$(nproc)}" >&2 &&
        cmake --install "$work" >&2) || { echo "fetch-$package: the $arch build failed" >&2; exit 1; }
    echo "$stamp" >"$prefix.tmp/stamp"
    rm -rf "$prefix"
    mv "$prefix.tmp" "$prefix"
fi
echo "$prefix"
