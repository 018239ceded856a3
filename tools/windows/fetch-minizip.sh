#!/usr/bin/env bash
# fetch-minizip.sh [CACHE_DIR]: prints the path of minizip's sources (contrib/minizip of Debian's zlib
# source package), downloading and unpacking them into CACHE_DIR (default tools/windows/cache) first if
# they are not there yet. Both the Linux and the Windows build compile the zip reader from these sources:
# Debian's libminizip (1.1) compares the sizes of a zip64 entry with (unsigned long)-1, which is not
# 0xffffffff on 64-bit Linux, so it never reads the real sizes from the zip64 extra field.
# Uses a private apt configuration for the deb-src index, so a machine without deb-src lines works
# and the system's sources lists stay untouched; root is not needed. Needs network access to the
# Debian mirror (KESTRIVANE_DEBIAN_MIRROR) on first use only.
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

apt_dir=$cache/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$cache/src"
# Debian 12's own deb-src index (the .orig tarball is the same for every Debian revision of 1.2.13).
cat >"$apt_dir/sources.list.d/src.sources" <<SRC
Types: deb-src
URIs: ${KESTRIVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
apt_opts=(
    -o "Dir::Etc::SourceList=/dev/null"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir"
    -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
    -o "APT::Sandbox::User=root"
    -q
)
apt-get "${apt_opts[@]}" update >&2
(cd "$cache/src" && apt-get "${apt_opts[@]}" source --download-only zlib >&2)

orig=$(ls "$cache"/src/zlib_*.orig.tar.* 2>/dev/null | head -n1)
if [[ -z $orig ]]; then
    echo "fetch-minizip: no zlib .orig tarball downloaded" >&2
    exit 1
fi
tar -C "$cache" -xf "$orig"
rm -rf "$apt_dir"
found || { echo "fetch-minizip: $orig has no contrib/minizip" >&2; exit 1; }
