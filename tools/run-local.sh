#!/usr/bin/env bash
# Builds the launcher, publishes the sample release to a local CDN, starts the local server stack
# (nginx CDN on 127.0.0.1:8080, event log on :8081, crash uploads on :8329) and runs the launcher
# from a fresh install folder. Everything lives under out/local (KV_RUN_DIR to change it).
# Releases are signed: a minisign key pair is made on first use (RUN_DIR/keys), its public key is built
# into the launcher and the sample release is published with its secret key.
# KV_MIRRORS=N (1 to 9) also serves the release from N mirrors (nginx on 127.0.0.1:8082, :8083, ...)
# and builds the launcher with them as KESTRIVANE_CDN_MIRRORS; stop one (tools/stack status
# out/local/stack shows their pids) to watch the launcher go on from the others. Default: one CDN.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD_DIR=${BUILD_DIR:-build}
RUN_DIR=${KV_RUN_DIR:-$ROOT/out/local}
GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi

mkdir -p "$RUN_DIR"
KEYS=$RUN_DIR/keys
if [ ! -f "$KEYS/release.key" ] || [ ! -f "$KEYS/release.pub" ]; then
    command -v minisign >/dev/null || { echo "run-local: minisign is not installed (tools/setup-debian.sh)" >&2; exit 1; }
    mkdir -p "$KEYS"
    chmod 700 "$KEYS"
    # Password-less: this key signs only the local stack's releases.
    minisign -G -f -W -p "$KEYS/release.pub" -s "$KEYS/release.key" >/dev/null
    rm -rf "$RUN_DIR/release"
fi
PUBLIC_KEY=$(sed -n 2p "$KEYS/release.pub")
MIRRORS=${KV_MIRRORS:-0}
[[ $MIRRORS =~ ^[0-9]$ ]] || { echo "run-local: KV_MIRRORS must be 0 to 9" >&2; exit 1; }
MIRROR_HOSTS=()
for ((k = 0; k < MIRRORS; k++)); do MIRROR_HOSTS+=("127.0.0.1:$((8082 + k))"); done

# Always given, so a build folder configured with mirrors before goes back to one CDN without them.
cmake -S . -B "$BUILD_DIR" "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIVANE_RELEASE_PUBLIC_KEY="$PUBLIC_KEY" \
    -DKESTRIVANE_CDN_MIRRORS="${MIRROR_HOSTS[*]:-}"
cmake --build "$BUILD_DIR" -j"$(nproc)"

if [ ! -f "$RUN_DIR/release/cdn/version3.txt.minisig" ]; then
    KV_PUBLISH_SIGN_KEY=$KEYS/release.key tools/make-sample-release.sh "$RUN_DIR/release" "$BUILD_DIR"
fi
tools/stack stop "$RUN_DIR/stack" >/dev/null 2>&1 || true
tools/stack start "$RUN_DIR/stack" --build "$BUILD_DIR" --cdn-root "$RUN_DIR/release/cdn" \
    --mirrors "$MIRRORS" --mirror-port 8082
trap 'tools/stack stop "$RUN_DIR/stack" >/dev/null 2>&1 || true' EXIT

INSTALL="$RUN_DIR/install"
mkdir -p "$INSTALL"
cp "$BUILD_DIR/bin/Kestrivane" "$INSTALL/Kestrivane"
cp packaging/update.sh "$INSTALL/update.sh"
echo "launcher folder: $INSTALL   (events: $RUN_DIR/stack/sink/events.jsonl)"
# The launcher as a player sees it: only the fonts it ships (and the stand-in for the platform
# default family), whatever this machine has installed. KV_SYSTEM_FONTS=1 keeps the machine's own.
if [ "${KV_SYSTEM_FONTS:-0}" != "1" ]; then
    export FONTCONFIG_FILE="$ROOT/tests/support/fonts.conf"
fi
"$INSTALL/Kestrivane" "$@"
