#!/usr/bin/env bash
# fetch-debian-source.sh PACKAGE CACHE_DIR: downloads the upstream (.orig) tarball of Debian 12's
# source package PACKAGE and unpacks it into CACHE_DIR. The shared step of fetch-minizip.sh and
# fetch-libsodium.sh, which first look for an unpacked tree and call this only when there is none.
# Uses a private apt configuration for the deb-src index (under CACHE_DIR, one per package so two
# fetches may run at once), so a machine without deb-src lines works and the system's sources lists
# stay untouched; root is not needed. Needs network access to the Debian mirror
# (KESTRIVANE_DEBIAN_MIRROR, default deb.debian.org) on first use only.
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
# Debian 12's own deb-src index: the .orig tarball is the same for every Debian revision.
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
(cd "$download" && apt-get "${apt_opts[@]}" source --download-only "$package" >&2)

orig=$(ls "$download/${package}"_*.orig.tar.* 2>/dev/null | head -n1 || true)
if [[ -z $orig ]]; then
    echo "fetch-debian-source: no $package .orig tarball downloaded" >&2
    exit 1
fi
tar -C "$cache" -xf "$orig"
