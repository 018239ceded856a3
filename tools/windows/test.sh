#!/usr/bin/env bash
# test.sh BUILD_DIR [TEST...]
# Runs the x86_64 Windows build's tests under wine64 (offscreen platform), each with a
# bounded time, and fails when any of them fails, crashes, hangs or reports nothing.
#   BUILD_DIR  an x86_64 build made by build.sh (tests deployed in BUILD_DIR/tests)
#   TEST...    test names to run (default: every test of the build run by wine itself, not
#              through xvfb-run)
# Test names, timeouts and environment come from CTest. A test labelled wine_display shows real
# windows: it runs under Xvfb, in a wine session of its own (without xvfb-run, it skips itself).
# WINEPREFIX: used as given; when unset a private prefix is made in a temporary folder and removed
# afterwards. Results: BUILD_DIR/wine-results.
set -euo pipefail
build=${1:?BUILD_DIR}
shift
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)
wine=${WINE64:-/usr/lib/wine/wine64}
[[ -x $wine ]] || wine=$(command -v wine64 || true)
[[ -n $wine && -x $wine ]] || { echo "test: wine64 missing (see tools/windows/debian-packages.txt)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "test: python3 missing" >&2; exit 2; }
[[ -f $build/CTestTestfile.cmake ]] || { echo "test: $build has no tests (build.sh x86_64 builds them)" >&2; exit 2; }

# Tests and test functions that check Unix-only behaviour or lean on Unix tools, with the reason.
# The Windows counterparts of the platform checks are in test_win32platform.
declare -A skip_test=(
    [test_platform]="registry.ini, XDG autostart and /bin/sh are the Unix side of the platform layer"
    [test_launcher_process]="prepares its installation with Unix scripts and helpers"
    [test_signed_release]="prepares its installation with Unix scripts (signatures: test_releaseverifier)"
    [test_key_rotation]="serves the CDN with nginx through tools/stack and installs Unix launchers (keys: test_releasekeys)"
    [test_crash_safety]="kills and restarts the launcher through Unix helpers"
    [test_crash_safety_large]="kills and restarts the launcher through Unix helpers"
    [test_predownload_kills]="kills and restarts the launcher through Unix helpers"
    [test_archivepatch_large]="65,538 files outlast the test's five minutes on wine's file system (the Linux run covers it)"
)
declare -A skip_funcs=(
    [test_globalsettings]="eachKeyWrittenThrough onlyChangedKeysAreStored autostartOnAndOff"
    [test_unziparchive]="restoresUnixPermissions ignoresModesOfOtherHosts extractsIntoLauncherDirectory"
    [test_settingdialog]="eachControlWritesAtOnce"
    [test_translatablewidgets]="outlineShiftsTextAndWidensHint"
    [test_launcher_window]="paintsBackgroundTitleBandAndTexts secondStartWhileTheGameRunsDoesNothing"
    [test_versioncheck]="selfUpdateWritesTheFileAndRunsTheScript"
)
# test_globalsettings eachKeyWrittenThrough, onlyChangedKeysAreStored: the settings file has CRLF line
#   ends on Windows; autostartOnAndOff: the XDG autostart file.
# test_unziparchive: Unix file modes and /bin/sh; extractsIntoLauncherDirectory: the test's own zip
#   writer opens its non-ASCII path through the C library's 8-bit calls, which Windows cannot spell.
# test_settingdialog eachControlWritesAtOnce: expects a start-at-login store of its own per test
#   function (a fresh XDG folder); the Run value is one per user.
# test_translatablewidgets outlineShiftsTextAndWidensHint, test_launcher_window
#   paintsBackgroundTitleBandAndTexts: pixel rows measured with the Unix font rasteriser.
# test_versioncheck selfUpdate...: a stand-in update.sh; test_launcher_window secondStart...:
#   /bin/sleep as the game.
# Every program runs once: a test that passes only when run again hides a fault.

own_prefix=
if [[ -z ${WINEPREFIX:-} ]]; then
    own_prefix=$(mktemp -d /tmp/kv-wineprefix.XXXXXX)
    export WINEPREFIX=$own_prefix
fi
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wineserver=$(dirname "$wine")/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || true)
cleanup() {
    if [[ -n $own_prefix ]]; then
        [[ -n $wineserver ]] && WINEPREFIX=$own_prefix "$wineserver" -k 2>/dev/null || true
        rm -rf "$own_prefix"
    fi
}
trap cleanup EXIT
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    echo "test: preparing wine prefix $WINEPREFIX"
    timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || { echo "test: wineboot failed" >&2; exit 1; }
    [[ -n $wineserver ]] && timeout 120 "$wineserver" -w || true
fi

results=$build/wine-results
rm -rf "$results"
mkdir -p "$results"

# name<TAB>timeout<TAB>program<TAB>env (NUL-separated K=V list, base64)<TAB>display (1: labelled
# wine_display) per runnable test.
list=$results/tests.tsv
(cd "$build" && ctest --show-only=json-v1) | python3 -c '
import base64, json, sys
wine = sys.argv[1]
for t in json.load(sys.stdin)["tests"]:
    cmd = t.get("command") or []
    # Tests run through xvfb-run need a real window: not here.
    if len(cmd) != 2 or cmd[0] != wine:
        continue
    props = {p["name"]: p["value"] for p in t.get("properties", [])}
    env = "\0".join(props.get("ENVIRONMENT", []))
    display = "1" if "wine_display" in props.get("LABELS", []) else "0"
    print("\t".join([t["name"], str(int(float(props.get("TIMEOUT", 300)))), cmd[1],
                     base64.b64encode(env.encode()).decode(), display]))
' "$wine" >"$list"

declare -A wanted=()
for t in "$@"; do wanted[$t]=1; done

winpath() { echo "Z:${1//\//\\}"; }
# Ends the prefix's wine session: the next program starts a new one, which has a display only when
# it is started with one.
new_wine_session() {
    [[ -n $wineserver ]] || return 0
    "$wineserver" -k 2>/dev/null || true
    timeout 60 "$wineserver" -w 2>/dev/null || true
}

failed=()
passed=0
total_pass=0 total_fail=0 total_skip=0
start_all=$(date +%s)
while IFS=$'\t' read -r name limit program envb64 display; do
    if (($#)); then
        [[ -n ${wanted[$name]:-} ]] || continue
    elif [[ -n ${skip_test[$name]:-} ]]; then
        echo "SKIP  $name (${skip_test[$name]})"
        continue
    fi
    out=$results/$name.txt
    # Host QT_* variables do not reach Windows programs under wine: they (and QTEST_*) are set inside cmd.
    sets=()
    hostenv=()
    while IFS= read -r -d '' kv; do
        [[ -n $kv ]] || continue
        case $kv in
            QT_* | QTEST_*) sets+=("set $kv&&") ;;
            *) hostenv+=("$kv") ;;
        esac
    done < <(printf '%s' "$envb64" | base64 -d; printf '\0')
    sets+=("set QT_FORCE_STDERR_LOGGING=1&&")
    funcs=()
    if [[ -n ${skip_funcs[$name]:-} ]]; then
        timeout 120 env "${hostenv[@]}" "$wine" "$program" -functions >"$results/$name.functions" 2>/dev/null || true
        while read -r f; do
            f=${f%%(*}
            f=${f//$'\r'/}
            [[ -n $f ]] || continue
            case " ${skip_funcs[$name]} " in *" $f "*) continue ;; esac
            funcs+=("$f")
        done <"$results/$name.functions"
        ((${#funcs[@]})) || { echo "FAIL  $name: cannot list its test functions"; failed+=("$name"); continue; }
    fi
    t0=$(date +%s)
    # The registry is shared by every program of the prefix: each test starts without the values
    # the launcher owns, as on a machine where it was never installed.
    for value in "HKCU\\SOFTWARE\\Quelvane" "HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run /v Quelvane"; do
        # shellcheck disable=SC2086
        timeout 60 "$wine" reg delete $value /f >/dev/null 2>&1 || true
    done
    launch=()
    if [[ $display == 1 ]] && command -v xvfb-run >/dev/null; then
        new_wine_session
        launch=(xvfb-run -a -s "-screen 0 1600x1000x24")
    fi
    set +e
    (cd "$(dirname "$program")" &&
        timeout -k 10 "$limit" "${launch[@]}" env "${hostenv[@]}" "$wine" cmd /c \
            "${sets[*]} $(basename "$program") ${funcs[*]} -o $(winpath "$out"),txt" \
            >"$results/$name.log" 2>&1)
    rc=$?
    set -e
    if ((${#launch[@]})); then
        new_wine_session
    fi
    totals=$(grep -a '^Totals:' "$out" 2>/dev/null | tail -n1 | tr -d '\r' || true)
    secs=$(($(date +%s) - t0))
    counts() { sed -E 's/^Totals: ([0-9]+) passed, ([0-9]+) failed, ([0-9]+) skipped.*/\1 \2 \3/' <<<"$1"; }
    if ((rc == 0)) && [[ -n $totals ]] && grep -aq ' 0 failed' <<<"$totals"; then
        echo "PASS  $name (${secs}s) $totals"
        passed=$((passed + 1))
        read -r p f s < <(counts "$totals")
        total_pass=$((total_pass + p)) total_skip=$((total_skip + s))
    else
        ((rc == 124 || rc == 137)) && why="timed out after ${limit}s" || why="exit code $rc"
        echo "FAIL  $name (${secs}s, $why) ${totals:-no result}"
        grep -a -A6 '^FAIL!' "$out" 2>/dev/null | tr -d '\r' | sed 's/^/      /' | head -n 60 || true
        if [[ -z $totals && -s $out ]]; then
            # Stopped before its end: the last lines name the test function that was running.
            echo "      last output:"
            tail -n 8 "$out" | tr -d '\r' | sed 's/^/      /'
        fi
        [[ -s $out ]] || tail -n 20 "$results/$name.log" | sed 's/^/      /'
        failed+=("$name")
        if [[ -n $totals ]]; then
            read -r p f s < <(counts "$totals")
            total_pass=$((total_pass + p)) total_fail=$((total_fail + f)) total_skip=$((total_skip + s))
        fi
    fi
done <"$list"

echo "test: wine64: $passed programs passed, ${#failed[@]} failed; $total_pass test cases passed," \
    "$total_fail failed, $total_skip skipped; $(($(date +%s) - start_all)) s"
if ((${#failed[@]})); then
    echo "test: failed: ${failed[*]}" >&2
    exit 1
fi
((passed > 0)) || { echo "test: no test ran" >&2; exit 1; }
