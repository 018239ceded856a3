#!/usr/bin/env bash
# fetch-debian-source.sh PACKAGE CACHE_DIR: downloads the upstream (.orig) tarball of Debian 12's
# source package PACKAGE and unpacks it into CACHE_DIR. The shared step of fetch-minizip.sh and
# fetch-libsodium.sh, which first look for an unpacked tree and call this only when there is none.
# Uses a private apt configuration for the deb-src index (under CACHE_DIR, one per package so two
# fetches may run at once), so a machine without deb-src lines works and the system's sources lists
# stay untouched; root is not needed. Fetches, on first use only, from the archive this machine's apt
# sources name for bookworm (tools/apt-archive.sh; a mirror, a proxy or an offline cache with deb-src),
# or from KESTRIVANE_DEBIAN_MIRROR when set.
set -euo pipefail
package=${1:?PACKAGE: a Debian source package}
cache=${2:?CACHE_DIR}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

apt_dir=$cache/apt-$package
download=$cache/src-$package
trap 'rm -rf "$apt_dir" "$download"' EXIT
rm -rf "$apt_dir" "$download"
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$download"
# Debian 12's deb-src index: the .orig tarball is the same for every Debian revision.
suites=bookworm
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
trusted=
if [ -n "${KESTRIVANE_DEBIAN_MIRROR:-}" ]; then
    uri=$KESTRIVANE_DEBIAN_MIRROR
else
    archive_of() { "$(dirname "$0")/../apt-archive.sh" "$1"; }
    archive=$(archive_of bookworm) || {
        echo "fetch-debian-source: no archive to fetch $package from; set KESTRIVANE_DEBIAN_MIRROR" >&2
        exit 1
    }
    uri=$(cut -f1 <<<"$archive")
    keyring=$(cut -f2 <<<"$archive")
    trusted=$(cut -f3 <<<"$archive")
    # The point releases' updates, when this machine takes them from the same archive.
    if updates=$(archive_of bookworm-updates 2>/dev/null) && [ "$(cut -f1 <<<"$updates")" = "$uri" ]; then
        suites="bookworm bookworm-updates"
    fi
fi
{
    echo "Types: deb-src"
    echo "URIs: $uri"
    echo "Suites: $suites"
    echo "Components: main"
    if [ "$trusted" = yes ]; then
        echo "Trusted: yes"
    elif [ -n "$keyring" ]; then
        echo "Signed-By: $keyring"
    fi
} >"$apt_dir/sources.list.d/src.sources"
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
(cd "$download" && apt-get "${apt_opts[@]}" source --download-only "$package" >&2)

orig=$(ls "$download/${package}"_*.orig.tar.* 2>/dev/null | head -n1 || true)
if [[ -z $orig ]]; then
    echo "fetch-debian-source: no $package .orig tarball downloaded" >&2
    exit 1
fi
tar -C "$cache" -xf "$orig"
