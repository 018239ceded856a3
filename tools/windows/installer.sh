#!/usr/bin/env bash
# installer.sh BUILD_DIR [OUTPUT]
# Builds the per-user installer (packaging/installer.nsi) from a Windows build made by build.sh and
# checks what it holds with 7z: the launcher, every DLL and plugin deployed beside it, update.vbs and
# the uninstaller. OUTPUT defaults to BUILD_DIR/installer/Quelvane_Setup.exe.
set -euo pipefail
build=${1:?BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "$build" && pwd)
out=${2:-$build/installer/Quelvane_Setup.exe}
for tool in makensis 7z; do
    command -v $tool >/dev/null || { echo "installer: $tool missing (see tools/windows/debian-packages.txt)" >&2; exit 2; }
done
bin=$build/bin
[[ -f $bin/Kestrivane.exe ]] || { echo "installer: no $bin/Kestrivane.exe (run build.sh first)" >&2; exit 2; }
version=$(sed -n 's/^KESTRIVANE_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
version=${version:-0.0}

stage=$build/installer-stage
rm -rf "$stage"
mkdir -p "$stage" "$(dirname "$out")"
cp "$bin/Kestrivane.exe" "$bin"/*.dll "$stage/"
cp -r "$bin/platforms" "$stage/"
[[ -d $bin/styles ]] && cp -r "$bin/styles" "$stage/"
cp "$root/packaging/update.vbs" "$stage/"
# The licence of the HTTP server library the launcher links statically.
cp "$root/packaging/LICENSE.civetweb.txt" "$stage/"

args=(-V2 -DSOURCE_DIR="$stage" -DVERSION="$version" -DOUTFILE="$out")
[[ -f $build/app/Kestrivane.ico ]] && args+=(-DICON="$build/app/Kestrivane.ico")
makensis "${args[@]}" "$root/packaging/installer.nsi"

# Every staged file must be in the installer, plus the uninstaller it writes.
listing=$(7z l -ba -slt "$out" | sed -n 's/^Path = //p' | tr '\\' '/')
missing=0
while read -r f; do
    grep -qixF "$f" <<<"$listing" || { echo "installer: $f is not in $(basename "$out")" >&2; missing=1; }
done < <(cd "$stage" && find . -type f | sed 's|^\./||' | sort)
grep -qi 'Uninstall\.exe$' <<<"$listing" || { echo "installer: no uninstaller in $(basename "$out")" >&2; missing=1; }
((missing == 0)) || exit 1
echo "installer: $out ($(du -k "$out" | cut -f1) KiB, $(grep -c . <<<"$listing") entries, version $version)"
