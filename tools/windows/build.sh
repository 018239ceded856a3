#!/usr/bin/env bash
# build.sh ARCH QT_PREFIX BUILD_DIR
# Cross-builds the whole project for Windows with Debian's mingw-w64 compilers and leaves
# BUILD_DIR/bin/Kestrivane.exe ready to run beside its DLLs and plugins.
#   ARCH       i686 (the product) or x86_64 (the build that runs here under wine64)
#   QT_PREFIX  Qt 5.15 built for that architecture (see docs/builder.md, "Windows build")
# The x86_64 build includes the tests (deployed in BUILD_DIR/tests); the i686 build does not,
# unless KESTRIVANE_BUILD_TESTS=ON is given. Installs nothing: the packages it needs are listed in
# tools/windows/debian-packages.txt. minizip's sources come from Debian's zlib source package
# (fetch-minizip.sh, cached in tools/windows/cache) unless KESTRIVANE_MINIZIP_DIR names them; a static
# libsodium is built from Debian's libsodium source package (fetch-libsodium.sh, cached there per
# architecture) unless KESTRIVANE_SODIUM_DIR names one; a static civetweb likewise from Debian's
# civetweb source package (fetch-civetweb.sh) unless KESTRIVANE_CIVETWEB_DIR names one.
# Other settings: KESTRIVANE_VERSION, KESTRIVANE_RELEASE_PUBLIC_KEY, JOBS (default nproc), KESTRIVANE_WERROR=1 (warnings fail the build).
# A build without tests and without KESTRIVANE_RELEASE_PUBLIC_KEY (what the installer packs for players)
# is refused unless KESTRIVANE_ALLOW_UNSIGNED=1: it would install any version file.
set -euo pipefail
arch=${1:?ARCH: i686 or x86_64}
qt=${2:?QT_PREFIX}
build=${3:?BUILD_DIR}
case $arch in
    i686 | x86_64) ;;
    *) echo "build: unknown architecture $arch (i686 or x86_64)" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
qt=$(cd "$qt" && pwd)
[[ -f $qt/lib/cmake/Qt5/Qt5Config.cmake ]] || { echo "build: $qt is not a Qt 5 prefix" >&2; exit 2; }
mkdir -p "$build"
build=$(cd "$build" && pwd)
triplet=$arch-w64-mingw32
for tool in $triplet-g++-posix $triplet-gcc-posix $triplet-windres $triplet-objdump cmake; do
    command -v "$tool" >/dev/null || { echo "build: $tool missing (see tools/windows/debian-packages.txt)" >&2; exit 2; }
done

# Compiles through the machine's ccache, like the Linux builds (also libsodium's, below).
source "$here/../ccache-env.sh"
minizip=${KESTRIVANE_MINIZIP_DIR:-$("$here/fetch-minizip.sh")}
sodium=${KESTRIVANE_SODIUM_DIR:-$("$here/fetch-libsodium.sh" "$arch")}
civetweb=${KESTRIVANE_CIVETWEB_DIR:-$("$here/fetch-civetweb.sh" "$arch")}

tests=${KESTRIVANE_BUILD_TESTS:-}
if [[ -z $tests ]]; then
    if [[ $arch == x86_64 ]]; then tests=ON; else tests=OFF; fi
fi

args=(
    -S "$root" -B "$build"
    -DCMAKE_TOOLCHAIN_FILE="$here/toolchain-mingw.cmake"
    -DMINGW_ARCH="$arch"
    -DCMAKE_PREFIX_PATH="$qt"
    -DCMAKE_BUILD_TYPE=Release
    -DKESTRIVANE_MINIZIP_DIR="$minizip"
    -DKESTRIVANE_SODIUM_DIR="$sodium"
    -DKESTRIVANE_CIVETWEB_DIR="$civetweb"
    -DKESTRIVANE_BUILD_TESTS="$tests"
    -DKESTRIVANE_BUILD_TOOLS=OFF
    -DKESTRIVANE_BUILD_BENCH=OFF
)
[[ -n ${KESTRIVANE_VERSION:-} ]] && args+=(-DKESTRIVANE_VERSION="$KESTRIVANE_VERSION")
[[ -n ${KESTRIVANE_RELEASE_PUBLIC_KEY:-} ]] && args+=(-DKESTRIVANE_RELEASE_PUBLIC_KEY="$KESTRIVANE_RELEASE_PUBLIC_KEY")
args+=(-DKESTRIVANE_ALLOW_UNSIGNED="$([[ ${KESTRIVANE_ALLOW_UNSIGNED:-0} == 1 ]] && echo ON || echo OFF)")
command -v ninja >/dev/null && args+=(-G Ninja)
args+=("${KV_CCACHE_CMAKE_ARGS[@]}")
cmake "${args[@]}"

log=$build/build.log
set +e
cmake --build "$build" -j"${JOBS:-$(nproc)}" 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
set -e
((rc == 0)) || { echo "build: $arch build failed" >&2; exit "$rc"; }
warnings=$(grep -c 'warning:' "$log" || true)
echo "build: $arch: $warnings compiler warnings"
kv_ccache_summary
if [[ ${KESTRIVANE_WERROR:-0} == 1 ]] && ((warnings > 0)); then
    grep 'warning:' "$log" | sort -u >&2
    exit 1
fi

[[ -f $build/bin/Kestrivane.exe ]] || { echo "build: no bin/Kestrivane.exe" >&2; exit 1; }
extra=
[[ $tests == ON ]] && extra="platforms/qoffscreen"
KV_DEPLOY_EXTRA_PLUGINS=$extra "$here/deploy.sh" "$arch" "$qt" "$build/bin" "$build/bin/Kestrivane.exe"
if [[ $tests == ON ]]; then
    shopt -s nullglob
    progs=("$build"/tests/*.exe)
    shopt -u nullglob
    if ((${#progs[@]})); then
        KV_DEPLOY_EXTRA_PLUGINS="platforms/qoffscreen platforms/qminimal" \
            "$here/deploy.sh" "$arch" "$qt" "$build/tests" "${progs[@]}"
    fi
fi
echo "build: $build/bin/Kestrivane.exe ready"
