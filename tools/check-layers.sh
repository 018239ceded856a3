#!/usr/bin/env bash
# Fails on an #include that breaks the layers, naming the file, the line and the rule:
#   core/                   includes nothing of ours outside core/, and no QtWidgets
#   platform/               includes nothing of ours outside platform/ and core/, and no QtWidgets
#   patch/                  block maps, their matcher and the delta writer: no QtWidgets, and nothing
#                           of ours but core/ and platform/
#   trust/                  the release's signature and version table: no QtWidgets, and nothing of
#                           ours but core/, platform/ and patch/ (the digests of the maps it lists)
#   download/, archive/, services/, the settings store (settings/globalsettings.*) and the
#   catalogue (i18n/translation*, i18n/labelarg.*)
#                           no QtWidgets; nothing from widgets/, launcher/, crash/, app/, the settings
#                           dialog or the translatable widgets
#                           nor from workflow/ above them; download/ includes nothing from archive/
#   lan/                    finding and serving launchers on the local network: Qt Core and Network only
#                           (no QtWidgets or QtGui), nothing of ours but core/ and platform/ (the
#                           workflow wires it to the engine)
#   workflow/               Qt Core and Network only (no QtWidgets, QtGui or QtConcurrent); nothing from widgets/, launcher/, crash/,
#                           app/, tools/, the settings dialog or the translatable widgets
#   widgets/, the translatable widgets, the settings dialog, crash/
#                           nothing from launcher/ or app/
#   launcher/               nothing from app/ (which holds main)
#   tools/                  nothing of the window's private form (launcher/ui_*.h): they go through
#                           launcher/launcherupdatertestaccess.h
# QtWidgets means <QtWidgets/...>, <QtWidgets> or a class header of Qt's QtWidgets folder (<QLabel>).
#   check-layers.sh [ROOT]  (default: this repository)
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

qt_include=${QT_INCLUDE_DIR:-$(pkg-config --variable=includedir Qt5Widgets 2>/dev/null || true)}
if [ ! -d "$qt_include/QtWidgets" ]; then
    echo "check-layers: Qt's QtWidgets headers not found (apt-get install qtbase5-dev, or set QT_INCLUDE_DIR)" >&2
    exit 1
fi
widget_headers=$(find "$qt_include/QtWidgets" -maxdepth 1 -type f -name 'Q*' ! -name '*.h' -printf '%f\n' | sort)
gui_headers=$(find "$qt_include/QtGui" -maxdepth 1 -type f -name 'Q*' ! -name '*.h' -printf '%f\n' 2>/dev/null | sort)

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files=$(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' | grep -v '^build')
else
    files=$(find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||')
fi

# Every include as "file<TAB>line<TAB>target", then the rules in awk.
# shellcheck disable=SC2086
grep -nH -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' $files |
    sed -E 's/^([^:]+):([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]+)[>"].*/\1\t\2\t\3/' |
    awk -F'\t' -v widgets="$widget_headers" -v guis="$gui_headers" '
    BEGIN {
        n = split(widgets, list, "\n")
        for (i = 1; i <= n; i++) widget[list[i]] = 1
        n = split(guis, list, "\n")
        for (i = 1; i <= n; i++) gui[list[i]] = 1
        bad = 0
    }
    function ours(inc) { return inc ~ /^(core|platform|settings|i18n|widgets|singleinstance|services|patch|trust|download|lan|archive|crash|workflow|launcher|app|tools)\// }
    function qtwidgets(inc) { return inc ~ /^QtWidgets(\/|$)/ || (inc in widget) }
    function qtgui(inc) { return inc ~ /^QtGui(\/|$)/ || (inc in gui) }
    function catalogue(f) { return f ~ /^i18n\/(translation|translationsignals|labelarg)\.(h|cpp)$/ }
    function store(f) { return f ~ /^settings\/globalsettings\.(h|cpp)$/ }
    function i18nwidget(f) { return f ~ /^i18n\// && !catalogue(f) }
    function dialog(f) { return f ~ /^settings\/settingdialog/ }
    function refuse(why) { printf "check-layers: %s:%s includes %s: %s\n", $1, $2, $3, why; bad = 1 }
    {
        f = $1; inc = $3
        if (f ~ /^core\//) {
            if (ours(inc) && inc !~ /^core\//) refuse("core/ is the ground layer and includes nothing of ours")
            else if (qtwidgets(inc)) refuse("core/ uses no QtWidgets")
        } else if (f ~ /^platform\//) {
            if (ours(inc) && inc !~ /^(platform|core)\//) refuse("platform/ includes nothing of ours but core/")
            else if (qtwidgets(inc)) refuse("platform/ uses no QtWidgets")
        } else if (f ~ /^patch\//) {
            if (ours(inc) && inc !~ /^(core|platform|patch)\//) refuse("patch/ includes nothing of ours but core/ and platform/")
            else if (qtwidgets(inc)) refuse("patch/ uses no QtWidgets")
        } else if (f ~ /^trust\//) {
            if (ours(inc) && inc !~ /^(core|platform|patch|trust)\//)
                refuse("trust/ includes nothing of ours but core/, platform/ and patch/")
            else if (qtwidgets(inc)) refuse("trust/ uses no QtWidgets")
        } else if (f ~ /^(download|archive|services)\// || store(f) || catalogue(f)) {
            if (qtwidgets(inc)) refuse("this layer is GUI-free: no QtWidgets")
            else if (f ~ /^download\// && inc ~ /^archive\//)
                refuse("download/ fetches spans of files and knows no archive: what a span is for is decided above it")
            else if (inc ~ /^(widgets|launcher|crash|app|workflow)\// || i18nwidget(inc) || dialog(inc))
                refuse("this GUI-free layer includes nothing from the layers above it")
        } else if (f ~ /^lan\//) {
            if (qtwidgets(inc) || qtgui(inc)) refuse("lan/ uses Qt Core and Network only: no QtWidgets or QtGui")
            else if (ours(inc) && inc !~ /^(core|platform|lan)\//)
                refuse("lan/ includes nothing of ours but core/ and platform/: the workflow wires it to the engine")
        } else if (f ~ /^workflow\//) {
            if (qtwidgets(inc) || qtgui(inc)) refuse("workflow/ is GUI-free: no QtWidgets or QtGui")
            else if (inc ~ /^QtConcurrent/) refuse("workflow/ uses Qt Core and Network only: no QtConcurrent")
            else if (inc ~ /^(widgets|launcher|crash|app|tools)\// || i18nwidget(inc) || dialog(inc))
                refuse("workflow/ includes nothing of the window or the widgets")
        } else if (f ~ /^(widgets|crash)\// || i18nwidget(f) || dialog(f)) {
            if (inc ~ /^(launcher|app)\//) refuse("the widget layer includes nothing from launcher/ or app/")
        } else if (f ~ /^launcher\//) {
            if (inc ~ /^app\//) refuse("launcher/ includes nothing from app/, which holds main")
        } else if (f ~ /^tools\//) {
            if (inc ~ /^launcher\/ui_/) refuse("tools reach the window through launcher/launcherupdatertestaccess.h")
        }
    }
    END { exit bad }
    ' || {
    echo "check-layers: the rules are at the top of tools/check-layers.sh and in CONTRIBUTING.md" >&2
    exit 1
}
echo "check-layers: ok ($(echo "$files" | wc -w) files)"
