#!/bin/sh
# Puts a downloaded launcher release in place once the running launcher has ended, then starts it.
# The launcher runs it from its own folder, where this script lives:
#     /bin/sh <launcher folder>/update.sh <new file name>
# The new file (e.g. v0.12_Kestrivane.exe) is a bare name in the launcher folder. The launcher
# "Kestrivane" keeps its mode. Any failure leaves the old launcher in place and starts nothing.
# The old launcher is kept as "Kestrivane.previous". The new one is started with the mark
# "update.pending" beside it, which it turns into "update.confirmed" once it is up; when it ends
# without doing so, or has not done so within 90 s, the new launcher is ended, the previous one put
# back and started, and "update.failed" names the version that failed (the launcher does not take
# it again). Lines go to update.log beside the script. KV_UPDATE_WAIT_S overrides the 30 s wait for
# the old launcher to end, KV_UPDATE_CONFIRM_S the 90 s wait for the new one to come up.
set -u

dir=$(cd "$(dirname "$0")" && pwd -P) || exit 1
target="$dir/Kestrivane"
previous="$dir/Kestrivane.previous"
pending="$dir/update.pending"
confirmed="$dir/update.confirmed"
failed_note="$dir/update.failed"
new=${1:-}
wait_s=${KV_UPDATE_WAIT_S:-30}
confirm_s=${KV_UPDATE_CONFIRM_S:-90}

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
case $confirm_s in
    '' | *[!0-9]*) confirm_s=90 ;;
esac
# "v0.12_Kestrivane.exe" is version 0.12.
version=${new#v}
version=${version%%_*}
if [ "$dir/$new" = "$target" ]; then
    log "refused file name '$new': it is the launcher itself"
    exit 2
fi
case $new in
    Kestrivane.previous | update.pending | update.confirmed | update.failed)
        log "refused file name '$new': it is one of the update's own files"
        exit 2
        ;;
esac
if [ ! -f "$dir/$new" ] || [ ! -s "$dir/$new" ]; then
    log "new launcher $dir/$new is missing or empty; keeping the old one"
    exit 1
fi

# True while some process runs this folder's launcher binary (the link reads "... (deleted)" once
# the file has been replaced under a running process).
pattern=$(printf '%s' "$target" | sed 's/[][*?\\]/\\&/g')
launcher_pids() {
    find /proc -mindepth 2 -maxdepth 2 -name exe \( -lname "$pattern" -o -lname "$pattern (deleted)" \) \
        -print 2>/dev/null | sed -n 's|^/proc/\([0-9][0-9]*\)/exe$|\1|p'
}
launcher_running() {
    [ -n "$(launcher_pids)" ]
}

# Copies $1 over $2 through a temporary file beside it, keeping $1's mode: $2 is either the old
# file or the whole new one.
copy_over() {
    tmp="$dir/.Kestrivane.update.$$"
    if ! cp -- "$1" "$tmp" || ! chmod "$3" "$tmp" || ! mv -f -- "$tmp" "$2"; then
        rm -f -- "$tmp"
        return 1
    fi
}

# Starts the launcher in the background; $started is its process (setsid and nohup run it in their
# own place, without a fork of their own, in a shell without job control).
start_launcher() {
    cd "$dir" || return 1
    if command -v setsid >/dev/null 2>&1; then
        setsid "$target" </dev/null >/dev/null 2>&1 &
    else
        nohup "$target" </dev/null >/dev/null 2>&1 &
    fi
    started=$!
}

# The new launcher took the mark: it turned it into update.confirmed, which a further update that
# it started may have removed again.
came_up() {
    [ -e "$confirmed" ] || [ ! -e "$pending" ]
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
# The old launcher stays beside the new one: a new launcher that cannot start is replaced by it.
rm -f -- "$pending" "$confirmed"
if [ -f "$target" ] && ! copy_over "$target" "$previous" "$mode"; then
    log "cannot keep a copy of the old launcher as $previous; keeping the old one"
    exit 1
fi
if ! copy_over "$dir/$new" "$target" "$mode"; then
    log "cannot replace $target with $new; keeping the old one"
    exit 1
fi
log "replaced $target with $new (mode $mode)"

watch=1
if [ ! -f "$previous" ] || ! printf '%s\n' "$version" > "$pending"; then
    log "cannot wait for the new launcher to come up: it is kept whatever happens"
    watch=0
fi
if ! start_launcher; then
    log "cannot start $target"
    exit 1
fi
log "started $target"
[ "$watch" = 1 ] || exit 0

ticks=$((confirm_s * 5))
why="within ${confirm_s} s"
while ! came_up; do
    # The shell has reaped the launcher once it ended: it can no longer come up.
    if ! kill -0 "$started" 2>/dev/null; then
        why="before it ended"
        break
    fi
    if [ "$ticks" -le 0 ]; then
        break
    fi
    ticks=$((ticks - 1))
    sleep 0.2
done
# Also a mark taken just before the launcher ended.
if came_up; then
    rm -f -- "$confirmed"
    log "the new launcher $version came up"
    exit 0
fi

# No sign of the new launcher: whatever runs of it is ended, and the previous one comes back.
rm -f -- "$pending"
log "the new launcher $version did not come up $why; putting the previous one back"
pids=$(launcher_pids)
if [ -n "$pids" ]; then
    kill $pids 2>/dev/null
    ticks=25
    while launcher_running && [ "$ticks" -gt 0 ]; do
        ticks=$((ticks - 1))
        sleep 0.2
    done
    pids=$(launcher_pids)
    [ -z "$pids" ] || kill -9 $pids 2>/dev/null
fi
if ! copy_over "$previous" "$target" "$mode"; then
    log "cannot put the previous launcher back from $previous"
    exit 1
fi
note="$dir/.update.failed.$$"
if printf '%s\n' "$version" > "$note" && mv -f -- "$note" "$failed_note"; then
    :
else
    rm -f -- "$note"
    log "cannot write $failed_note"
fi
log "put the previous launcher back"
if ! start_launcher; then
    log "cannot start $target"
    exit 1
fi
log "started the previous launcher"
exit 1
