#!/usr/bin/env bash
# Makes a sample release and publishes it into a CDN folder:
#   OUT_DIR/release/  game.zip (the stub game as Quelvane.exe plus generated data), assets.zip, data.zip,
#                     readme.txt and Kestrivane.exe (the built launcher, or a placeholder)
#   OUT_DIR/cdn/      the same files as v<version>_<name> plus version3.txt (version 1 of each game file,
#                     0.11 for Kestrivane.exe, so a 0.11 launcher finds no update of itself)
# The generated content is seeded: every run gives the same bytes (except Quelvane.exe and
# Kestrivane.exe, which are copies of the build's binaries). With KV_PUBLISH_SIGN_KEY naming a minisign
# secret key, kv-publish signs the version file (OUT_DIR/cdn/version3.txt.minisig).
# Usage: tools/make-sample-release.sh OUT_DIR [BUILD_DIR]   (BUILD_DIR defaults to build)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ] || [ "$1" = "--help" ] || [ "$1" = "-h" ]; then
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
    [ $# -ge 1 ] && exit 0 || exit 2
fi
OUT=$1
BUILD=${2:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$PWD/$BUILD ;; esac
LAUNCHER_VERSION=${KV_SAMPLE_LAUNCHER_VERSION:-0.11}
PUBLISH=$BUILD/bin/kv-publish
FAKEGAME=$BUILD/bin/fakegame
for tool in "$PUBLISH" "$FAKEGAME"; do
    if [ ! -x "$tool" ]; then
        echo "make-sample-release: $tool is missing; build it first: cmake --build $BUILD --target kv-publish fakegame" >&2
        exit 1
    fi
done
command -v zip >/dev/null || { echo "make-sample-release: zip is not installed" >&2; exit 1; }

export TZ=UTC LC_ALL=C
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
STAGE=$OUT/stage
rm -rf "$STAGE" "$OUT/release" "$OUT/cdn"
mkdir -p "$STAGE" "$OUT/release"

# Seeded pseudo-random bytes: bytes SEED COUNT > FILE
bytes() {
    perl -e '
        my ($x, $n) = @ARGV;
        binmode STDOUT;
        my $buf = "";
        while ($n > 0) {
            { use integer; $x = $x * 6364136223846793005 + 1442695040888963407; }
            $buf .= pack("N", ($x >> 32) & 0xffffffff);
            if (length($buf) >= 65536 || length($buf) >= $n) {
                my $take = length($buf) < $n ? length($buf) : $n;
                print substr($buf, 0, $take);
                $n -= $take;
                $buf = "";
            }
        }' "$1" "$2"
}

# Seeded text: text SEED LINES > FILE
text() {
    perl -e '
        my ($x, $lines) = @ARGV;
        my @w = qw(quelvane river stone ember lantern harbor north wind archive valley crown mirror
                   tower frost meadow signal ledger copper thistle garnet orchard cinder);
        for my $i (1 .. $lines) {
            my $line = sprintf("%06d", $i);
            for (1 .. 12) {
                { use integer; $x = $x * 6364136223846793005 + 1442695040888963407; }
                $line .= " " . $w[(($x >> 33) & 0x7fffffff) % scalar(@w)];
            }
            print "$line\n";
        }' "$1" "$2"
}

# zip_dir DIR ARCHIVE [zip options]: names sorted, fixed times, no extra fields.
zip_dir() {
    local dir=$1 archive=$2
    shift 2
    find "$dir" -exec touch -h -d '2024-01-01 00:00:00' {} +
    (cd "$dir" && find . -mindepth 1 | sed 's|^\./||' | sort | zip -X -q "$@" -@ "$archive")
}

# game.zip: the stub game and its data.
G=$STAGE/game
mkdir -p "$G/Quelvane_Data/levels" "$G/Quelvane_Data/textures" "$G/Quelvane_Data/config"
cp "$FAKEGAME" "$G/Quelvane.exe"
chmod 755 "$G/Quelvane.exe"
for i in 1 2 3; do text $((100 + i)) 2000 > "$G/Quelvane_Data/levels/level_0$i.txt"; done
bytes 201 700000 > "$G/Quelvane_Data/textures/terrain.bin"
bytes 202 300000 > "$G/Quelvane_Data/textures/sky.bin"
printf 'quality=high\nfullscreen=0\n' > "$G/Quelvane_Data/config/game.cfg"
zip_dir "$G" "$OUT/release/game.zip"

# assets.zip: larger than one 4 MiB download piece.
A=$STAGE/assets
mkdir -p "$A/assets/textures/ui" "$A/assets/sounds/ambient" "$A/assets/text"
for i in 1 2 3 4; do bytes $((300 + i)) 900000 > "$A/assets/textures/ui/atlas_$i.bin"; done
bytes 310 800000 > "$A/assets/sounds/ambient/wind.bin"
for i in 1 2; do text $((320 + i)) 3000 > "$A/assets/text/lore_$i.txt"; done
zip_dir "$A" "$OUT/release/assets.zip"

# data.zip: stored without directory entries.
D=$STAGE/data
mkdir -p "$D/data/locale" "$D/data/tables/items"
seed=500
for lang in English German French; do
    seed=$((seed + 1))
    text "$seed" 500 > "$D/data/locale/$lang.txt"
done
text 401 1500 > "$D/data/tables/items/weapons.csv"
bytes 402 200000 > "$D/data/tables/blob.bin"
zip_dir "$D" "$OUT/release/data.zip" -D

printf 'Quelvane sample release\nThis build is for local testing only.\n' > "$OUT/release/readme.txt"

if [ -x "$BUILD/bin/Kestrivane" ]; then
    cp "$BUILD/bin/Kestrivane" "$OUT/release/Kestrivane.exe"
else
    printf 'placeholder launcher %s\n' "$LAUNCHER_VERSION" > "$OUT/release/Kestrivane.exe"
fi
rm -rf "$STAGE"

"$PUBLISH" --cdn "$OUT/cdn" --release "$OUT/release" \
    game.zip=1 assets.zip=1 data.zip=1 readme.txt=1 "Kestrivane.exe=$LAUNCHER_VERSION"
