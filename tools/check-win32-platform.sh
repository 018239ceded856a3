#!/bin/sh
# Compile-checks the Qt-free Win32 sources of the platform layer with the 32-bit MinGW cross
# compiler (Debian package g++-mingw-w64-i686), warnings as errors. Their shared header and the
# Qt side of the Windows implementation are checked with the host compiler (syntax only).
# Exits non-zero on the first failure.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cross=${MINGW_CXX:-i686-w64-mingw32-g++}
host=${CXX:-g++}
flags="-std=c++17 -Wall -Wextra -Werror"

if ! command -v "$cross" >/dev/null 2>&1; then
    echo "check-win32-platform: $cross not found (apt-get install g++-mingw-w64-i686)" >&2
    exit 1
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

for src in "$root"/platform/win32_*.cpp; do
    name=$(basename "$src" .cpp)
    # -c rather than -fsyntax-only so template and inline code is instantiated too.
    $cross $flags -I"$root" -c "$src" -o "$out/$name.o"
    echo "check-win32-platform: ok $name.cpp"
done

echo '#include "platform/win32calls.h"' | $host $flags -I"$root" -fsyntax-only -x c++ -
echo "check-win32-platform: ok win32calls.h (host)"

# platform_win.cpp needs no Windows header of its own, so the host's Qt can check its Qt usage.
if pkg-config --exists Qt5Core 2>/dev/null; then
    # shellcheck disable=SC2046
    $host $flags -fPIC -I"$root" $(pkg-config --cflags Qt5Core) -fsyntax-only "$root/platform/platform_win.cpp"
    echo "check-win32-platform: ok platform_win.cpp (host, syntax)"
fi
