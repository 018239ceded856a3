#!/usr/bin/env bash
# Builds the project and runs every test; then builds the GUI-free unit tests again with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs them.
#   BUILD_DIR (default build), ASAN_BUILD_DIR (default build-asan), SKIP_ASAN=1 to skip the second pass.
# Both builds compile through the machine's ccache (tools/ccache-env.sh); its figures end the output.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ccache-env.sh
trap 'kv_ccache_summary --totals' EXIT
BUILD_DIR=${BUILD_DIR:-build}
ASAN_BUILD_DIR=${ASAN_BUILD_DIR:-build-asan}
JOBS=$(nproc)
# No reruns: a test passes on its first run, or the failure is real (a rerun would hide timing faults).
GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi

# Every test draws with the shipped fonts only (tests/support/fonts.conf): say which ones.
FONTS_CONF="$PWD/tests/support/fonts.conf"
echo "Fonts every test draws with (FONTCONFIG_FILE=tests/support/fonts.conf):"
FONTCONFIG_FILE="$FONTS_CONF" fc-list --format '  %{family[0]} %{style[0]}: %{file}\n' | sort
if ! FONTCONFIG_FILE="$FONTS_CONF" fc-list --format '%{family[0]}\n' | grep -qx 'DejaVu Sans'; then
    echo "the stand-in for the platform default family (DejaVu Sans) is missing: run tools/setup-debian.sh" >&2
    exit 1
fi

cmake -S . -B "$BUILD_DIR" "${GEN[@]}" "${KV_CCACHE_CMAKE_ARGS[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" -j"$JOBS"
# Tests run side by side: each picks its own ports, folders and instance keys; what must not be
# shared (the end-to-end ports, xvfb-run's display search) is a resource lock of the tests that use it.
# The long ones carry a cost, so they start first and the short ones fill the other slots.
ctest --test-dir "$BUILD_DIR" -j"$((JOBS + 1))" --output-on-failure --timeout 1800 || exit 8

if [ "${SKIP_ASAN:-0}" != "1" ]; then
    cmake -S . -B "$ASAN_BUILD_DIR" "${GEN[@]}" "${KV_CCACHE_CMAKE_ARGS[@]}" -DCMAKE_BUILD_TYPE=Debug \
        -DKESTRIVANE_SANITIZE=ON
    cmake --build "$ASAN_BUILD_DIR" -j"$JOBS" --target kv_unit_tests
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir "$ASAN_BUILD_DIR" -L unit -j"$JOBS" --output-on-failure --timeout 600
fi
