#!/bin/sh
# Puts a downloaded launcher release in place once the running launcher has ended, then starts it.
# The launcher runs it from its own folder, where this script lives:
#     /bin/sh <launcher folder>/update.sh <new file name>
# The new file (e.g. v0.12_Kestrivane.exe) is a bare name in the launcher folder. The launcher
# "Kestrivane" keeps its mode. Any failure leaves the old launcher in place and starts nothing.
# Lines go to update.log beside the script. KV_UPDATE_WAIT_S overrides the 30 s wait.
set -u

dir=$(cd "$(dirname "$0")" && pwd -P) || exit 1
target="$dir/Kestrivane"
new=${1:-}
wait_s=${KV_UPDATE_WAIT_S:-30}

log() {
    printf '%s update.sh: %s\n' "$(date '+%Y-%m-%d %H:%M:%S')" "$*" >> "$dir/update.log" 2>/dev/null
    printf 'update.sh: %s\n' "$*" >&2
}

case $new in
    '' | . | .. | */* | *\\* | -*)
        log "refused file name '$new': expected a bare file name in $dir"
        exit 2
        ;;
esac
case $wait_s in
    '' | *[!0-9]*) wait_s=30 ;;
esac
if [ "$dir/$new" = "$target" ]; then
    log "refused file name '$new': it is the launcher itself"
    exit 2
fi
if [ ! -f "$dir/$new" ] || [ ! -s "$dir/$new" ]; then
    log "new launcher $dir/$new is missing or empty; keeping the old one"
    exit 1
fi

# True while some process runs this folder's launcher binary (the link reads "... (deleted)" once
# the file has been replaced under a running process).
pattern=$(printf '%s' "$target" | sed 's/[][*?\\]/\\&/g')
launcher_running() {
    [ -n "$(find /proc -mindepth 2 -maxdepth 2 -name exe \( -lname "$pattern" -o -lname "$pattern (deleted)" \) \
        -print -quit 2>/dev/null)" ]
}

ticks=$((wait_s * 5))
while launcher_running; do
    if [ "$ticks" -le 0 ]; then
        log "the launcher still runs after ${wait_s} s; keeping the old one"
        exit 1
    fi
    ticks=$((ticks - 1))
    sleep 0.2
done

mode=$(stat -c %a "$target" 2>/dev/null) || mode=755
tmp="$dir/.Kestrivane.update.$$"
# Copy beside the target, then rename over it: the launcher is either the old file or the new one.
if ! cp -- "$dir/$new" "$tmp" || ! chmod "$mode" "$tmp" || ! mv -f -- "$tmp" "$target"; then
    rm -f -- "$tmp"
    log "cannot replace $target with $new; keeping the old one"
    exit 1
fi
log "replaced $target with $new (mode $mode)"

cd "$dir" || exit 1
if command -v setsid >/dev/null 2>&1; then
    setsid "$target" </dev/null >/dev/null 2>&1 &
else
    nohup "$target" </dev/null >/dev/null 2>&1 &
fi
log "started $target"
exit 0
