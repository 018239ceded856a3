#!/usr/bin/env bash
# ci.sh: the Windows part of CI. Installs the cross-build packages, unpacks the Qt kit, builds
# Kestrivane.exe for i686 and x86_64 (warnings fail the build), runs the x86_64 tests under wine64
# and builds and checks the installer from the i686 build.
#   KV_WIN_KIT   folder with qt5.15.8-mingw-{x86_64,i686}.tar.xz (default: ../shared/windows beside
#                the repository). Without it the Windows part is skipped with a notice.
#   KV_WIN_WORK  work folder (default build-windows-ci in the repository)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
kit=${KV_WIN_KIT:-$root/../shared/windows}
work=${KV_WIN_WORK:-$root/build-windows-ci}
t_start=$(date +%s)
phase_start=$t_start
timings=()
phase() {
    local now
    now=$(date +%s)
    timings+=("$1: $((now - phase_start)) s")
    echo "ci-windows: $1 done in $((now - phase_start)) s"
    phase_start=$now
}

tarball() { echo "$kit/qt5.15.8-mingw-$1.tar.xz"; }
if [[ ! -f $(tarball x86_64) || ! -f $(tarball i686) ]]; then
    cat >&2 <<MSG
################################################################################
ci-windows: SKIPPED. No Qt kit for Windows at $kit
(expected $(basename "$(tarball x86_64)") and $(basename "$(tarball i686)")).
Set KV_WIN_KIT to the folder holding them, or make them with build-qt-mingw.sh.
################################################################################
MSG
    exit 0
fi

SUDO=
[[ $(id -u) -eq 0 ]] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
# shellcheck disable=SC2046
packages=$(grep -v '^\s*#' "$here/debian-packages.txt" | tr '\n' ' ')
# shellcheck disable=SC2086
if ! $SUDO apt-get install -y -q --no-install-recommends $packages; then
    $SUDO apt-get update -q
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -q --no-install-recommends $packages
fi
phase "packages"

# The kit's README lists the tarballs' digests: a damaged copy stops here, not in the middle of a build.
qt=$work/qt
mkdir -p "$qt"
for arch in x86_64 i686; do
    t=$(tarball "$arch")
    sum=$(sed -n "s/^\([0-9a-f]\{64\}\)  $(basename "$t")\$/\1/p" "$kit/README.md" 2>/dev/null || true)
    stamp=$qt/$arch.sha256
    if [[ -f $stamp && $(cat "$stamp") == "$(stat -c %s-%Y "$t")" ]]; then
        continue
    fi
    if [[ -n $sum ]]; then
        echo "$sum  $t" | sha256sum -c --quiet - || { echo "ci-windows: $t is damaged" >&2; exit 1; }
    fi
    tar -C "$qt" -xJf "$t"
    stat -c %s-%Y "$t" >"$stamp"
done
phase "kit"

export KESTRIVANE_WERROR=1
# CI has no release key: its builds are checked here, never given to players.
export KESTRIVANE_ALLOW_UNSIGNED=1
"$here/build.sh" x86_64 "$qt/qt5-win64" "$work/x86_64"
phase "x86_64 build"
"$here/build.sh" i686 "$qt/qt5-win32" "$work/i686"
phase "i686 build"
# What Windows shows of the program: GUI subsystem, icon, version information.
for arch in x86_64 i686; do
    exe=$work/$arch/bin/Kestrivane.exe
    version=$(sed -n 's/^KESTRIVANE_VERSION:[A-Z]*=//p' "$work/$arch/CMakeCache.txt")
    headers=$("$arch-w64-mingw32-objdump" -p "$exe")
    grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" ||
        { echo "ci-windows: $arch Kestrivane.exe is not a GUI program" >&2; exit 1; }
    rc=$("$arch-w64-mingw32-windres" -i "$exe" -O rc)
    for want in 'RT_GROUP_ICON' "\"ProductVersion\", \"$version\"" "\"FileVersion\", \"$version\"" \
        '"FileDescription", "' '"ProductName", "'; do
        grep -qF "$want" <<<"$rc" || { echo "ci-windows: $arch Kestrivane.exe resources lack $want" >&2; exit 1; }
    done
done

# No display for wine: everything runs on the offscreen platform, in a prefix of its own.
unset DISPLAY WAYLAND_DISPLAY
WINEPREFIX=$(mktemp -d /tmp/kv-ci-wine.XXXXXX)
export WINEPREFIX
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
"$here/test.sh" "$work/x86_64"

# The launcher itself, on the real Windows platform plugin under Xvfb: it starts from its folder of
# DLLs, shows its window and keeps running (the CDN it asks is 127.0.0.1, absent here). The picture
# is kept beside the build.
smoke=$work/smoke
shot=$work/launcher-under-wine.png
rm -rf "$smoke" "$shot"
cp -r "$work/x86_64/bin" "$smoke"
# A wine session started without a display keeps running without one: begin a new one.
wineserver=/usr/lib/wine/wineserver
[[ -x $wineserver ]] || wineserver=wineserver
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w >/dev/null 2>&1 || true
xvfb-run -a -s "-screen 0 1600x1000x24" bash -c '
    (cd "$1" && timeout -k 5 30 /usr/lib/wine/wine64 Kestrivane.exe >../smoke.log 2>&1; echo $? >../smoke.rc) &
    sleep 25
    import -window root "$2"
    wait' _ "$smoke" "$shot"
rc=$(cat "$work/smoke.rc" 2>/dev/null || echo none)
[[ $rc == 124 ]] || { echo "ci-windows: Kestrivane.exe ended within 30 s (exit code $rc)" >&2; cat "$work/smoke.log" >&2; exit 1; }
lit=$(convert "$shot" -format '%[fx:mean>0.04]' info: 2>/dev/null || echo 0)
[[ $lit == 1 ]] || { echo "ci-windows: no launcher window in $shot" >&2; exit 1; }
echo "ci-windows: Kestrivane.exe shows its window under wine64 ($shot)"
phase "wine tests"

"$here/installer.sh" "$work/i686"
phase "installer"

echo "ci-windows: all done in $(($(date +%s) - t_start)) s (${timings[*]})"
