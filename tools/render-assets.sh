#!/usr/bin/env bash
# Renders the artwork sources assets/svg/<path>.svg to assets/images/<path>.png (the files the
# resource bundle embeds). The PNGs are committed: the build and CI never render.
#
#   tools/render-assets.sh            render every source
#   tools/render-assets.sh bg2 icon   render only the named sources (path below assets/svg, no .svg)
#
# Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert (imagemagick). Lettering uses
# "League Spartan" and "WenQuanYi Micro Hei"; the copies in assets/fonts are put in front of the
# system fonts, so the result does not depend on what else the machine has installed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
src="$root/assets/svg"
dst="$root/assets/images"

for tool in rsvg-convert convert; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "render-assets: $tool not found (apt-get install librsvg2-bin imagemagick)" >&2
        exit 1
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Private fontconfig setup: the bundled fonts first, then the system configuration.
cat >"$work/fonts.conf" <<EOF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <dir>$root/assets/fonts</dir>
  <include ignore_missing="yes">/etc/fonts/fonts.conf</include>
  <cachedir>$work/fontcache</cachedir>
</fontconfig>
EOF
export FONTCONFIG_FILE="$work/fonts.conf"

for family in "League Spartan" "WenQuanYi Micro Hei"; do
    if ! fc-list "$family" family | grep -q .; then
        echo "render-assets: font \"$family\" not available" >&2
        exit 1
    fi
done

if [ $# -gt 0 ]; then
    sources=()
    for name in "$@"; do
        name=${name%.svg}
        if [ ! -f "$src/$name.svg" ]; then
            echo "render-assets: no source $src/$name.svg" >&2
            exit 1
        fi
        sources+=("$src/$name.svg")
    done
else
    mapfile -t sources < <(find "$src" -name '*.svg' | sort)
fi

for svg in "${sources[@]}"; do
    rel=${svg#"$src"/}
    out="$dst/${rel%.svg}.png"
    mkdir -p "$(dirname "$out")"
    rsvg-convert --format png --output "$work/raw.png" "$svg"
    # Opaque pictures (the backgrounds) are stored without an alpha channel; everything else keeps
    # it. -strip drops time stamps so an unchanged source gives an unchanged file.
    opaque=$(convert "$work/raw.png" -format '%[opaque]' info:)
    if [ "$opaque" = "True" ] || [ "$opaque" = "true" ]; then
        convert "$work/raw.png" -strip -alpha off -define png:compression-level=9 \
            -define png:compression-filter=5 "PNG24:$out"
    else
        convert "$work/raw.png" -strip -define png:compression-level=9 "PNG32:$out"
    fi
    size=$(convert "$out" -format '%wx%h' info:)
    bytes=$(stat -c %s "$out")
    printf '%-40s %10s %9d bytes\n' "${out#"$root"/}" "$size" "$bytes"
done
