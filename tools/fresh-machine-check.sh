#!/usr/bin/env bash
# tools/fresh-machine-check.sh [WORK_DIR]
#
# Tries the README's two commands as a new developer would: builds a fresh Debian 12 (bookworm,
# minbase) root with debootstrap from the archive this machine's apt uses for bookworm, clones this repository into it (the
# commit checked out here; uncommitted changes are not part of it) and runs, inside the root, as
# root, exactly as the README writes them:
#
#   tools/setup-debian.sh && tools/test.sh
#   tools/setup-debian.sh && tools/run-local.sh    under its own Xvfb; the launcher is ended once
#                                                  its window shows, a screenshot of it is kept
#
# (the test command first, so the run command finds its build made).
#
# Prints each step's result and time; the logs, the screenshot and a few tour pictures (to compare
# by pixels with another machine's) stay in WORK_DIR/out. Exit code 0 when every step passed.
# Needs root, debootstrap and access to that archive; takes about an hour on two
# cores (a full build, the whole suite and the sanitizer pass). Too slow for CI: run it before a
# change to what the set-up installs is merged.
#
# Environment: KV_DEBIAN_MIRROR (the archive to bootstrap from; default: the one this machine's apt
# sources name for bookworm, found by tools/apt-archive.sh, with their keyring), KV_REF (commit to clone,
# default HEAD), KV_PORT_LOCK (a file to flock while the two commands run, since both bind the
# stack's fixed local ports; the chroot shares this machine's network), KV_KEEP_ROOT=1 to reuse an
# existing root instead of building a fresh one (quicker reruns; no longer a fresh machine).
set -uo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/var/tmp/kestrivane-fresh}
mkdir -p "$WORK" && WORK=$(cd "$WORK" && pwd -P) || exit 2
MIRROR=${KV_DEBIAN_MIRROR:-}
BOOTSTRAP_OPTIONS=()
REF=${KV_REF:-HEAD}
ROOTFS=$WORK/root
OUT=$WORK/out
SRC_IN_ROOT=/root/kestrivane
DISPLAY_NO=77
FAILED=0
MOUNTS=()

if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-machine-check: needs root (debootstrap, chroot, mounts)" >&2
    exit 2
fi
for tool in debootstrap git chroot mount; do
    command -v "$tool" >/dev/null || { echo "fresh-machine-check: $tool is missing" >&2; exit 2; }
done
if [ -z "$MIRROR" ]; then
    # The archive this machine installs from (a mirror, a proxy, an offline cache) and how apt checks it.
    archive=$("$REPO/tools/apt-archive.sh" bookworm) || {
        echo "fresh-machine-check: no archive to bootstrap from; set KV_DEBIAN_MIRROR" >&2
        exit 2
    }
    MIRROR=$(cut -f1 <<<"$archive")
    keyring=$(cut -f2 <<<"$archive")
    if [ "$(cut -f3 <<<"$archive")" = yes ]; then
        BOOTSTRAP_OPTIONS+=(--no-check-gpg)
    elif [ -n "$keyring" ]; then
        BOOTSTRAP_OPTIONS+=(--keyring="$keyring")
    fi
fi
COMMIT=$(git -C "$REPO" rev-parse --verify "$REF^{commit}") || exit 2
if [ -n "$(git -C "$REPO" status --porcelain --untracked-files=no)" ]; then
    echo "note: $REPO has uncommitted changes; they are not part of the check"
fi

# Processes still running inside the root (the stack, Xvfb, a launcher), by their id.
root_pids() {
    local p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$ROOTFS" ] && echo "${p#/proc/}"
    done
}

cleanup() {
    local pid i
    for pid in $(root_pids); do kill "$pid" 2>/dev/null; done
    for _ in 1 2 3 4 5; do [ -z "$(root_pids)" ] && break; sleep 1; done
    for pid in $(root_pids); do kill -9 "$pid" 2>/dev/null; done
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTS[i]}" 2>/dev/null || umount -l "${MOUNTS[i]}" 2>/dev/null
    done
    MOUNTS=()
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

mount_in_root() { # TARGET MOUNT-ARGUMENTS...
    local target=$ROOTFS$1
    shift
    mkdir -p "$target"
    mount "$@" "$target" && MOUNTS+=("$target")
}

# step NAME COMMAND...: runs the command with its output in OUT/NAME.log and prints the outcome.
step() {
    local name=$1 start rc secs
    shift
    start=$(date +%s)
    echo "== $name: started $(date -u +%H:%M:%S) UTC"
    "$@" >"$OUT/$name.log" 2>&1
    rc=$?
    secs=$(($(date +%s) - start))
    if [ $rc -eq 0 ]; then
        printf '== %s: PASS in %dm%02ds\n' "$name" $((secs / 60)) $((secs % 60))
    else
        FAILED=1
        printf '== %s: FAIL (exit code %d) in %dm%02ds; last lines of %s:\n' "$name" $rc $((secs / 60)) \
            $((secs % 60)) "$OUT/$name.log"
        tail -n 25 "$OUT/$name.log" | sed 's/^/   | /'
    fi
    return $rc
}

in_root() { # a login-like root shell inside the fresh system, without this machine's environment
    chroot "$ROOTFS" /usr/bin/env -i HOME=/root TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -c "$1"
}

locked() { # runs the command (a function of this script) under KV_PORT_LOCK when given
    [ -n "${KV_PORT_LOCK:-}" ] || { "$@"; return; }
    local fd rc
    exec {fd}>>"$KV_PORT_LOCK" || return 1
    echo "waiting for $KV_PORT_LOCK"
    flock "$fd"
    echo "holding $KV_PORT_LOCK"
    "$@"
    rc=$?
    flock -u "$fd"
    exec {fd}>&-
    return $rc
}

make_root() {
    if [ "${KV_KEEP_ROOT:-0}" = "1" ] && [ -x "$ROOTFS/bin/bash" ]; then
        echo "reusing $ROOTFS"
        return 0
    fi
    if [ -n "$(root_pids)" ] || grep -q " $ROOTFS/" /proc/mounts; then
        echo "$ROOTFS is still in use (processes or mounts); not removing it"
        return 1
    fi
    rm -rf "$ROOTFS"
    debootstrap --variant=minbase "${BOOTSTRAP_OPTIONS[@]}" bookworm "$ROOTFS" "$MIRROR"
}

prepare_root() {
    mount_in_root /proc -t proc proc &&
        mount_in_root /sys -t sysfs sysfs &&
        mount_in_root /dev --bind /dev &&
        mount_in_root /dev/pts --bind /dev/pts &&
        mount_in_root /dev/shm -t tmpfs -o mode=1777 tmpfs || return 1
    cp -L /etc/resolv.conf "$ROOTFS/etc/resolv.conf"
    # No services start inside the root while packages are installed.
    printf '#!/bin/sh\nexit 101\n' >"$ROOTFS/usr/sbin/policy-rc.d"
    chmod +x "$ROOTFS/usr/sbin/policy-rc.d"
    echo "Debian $(cat "$ROOTFS/etc/debian_version"), $(chroot "$ROOTFS" dpkg-query -W -f '.\n' | wc -l) packages"
    echo "fonts in the fresh root:"
    find "$ROOTFS/usr/share/fonts" -type f 2>/dev/null | sed "s|^$ROOTFS|  |" || true
}

clone_repo() {
    rm -rf "$ROOTFS$SRC_IN_ROOT"
    git clone --quiet --no-hardlinks --no-checkout "$REPO" "$ROOTFS$SRC_IN_ROOT" &&
        git -C "$ROOTFS$SRC_IN_ROOT" checkout --quiet --detach "$COMMIT" &&
        git -C "$ROOTFS$SRC_IN_ROOT" log -1 --format='cloned %h %s'
}

# The run command under a private Xvfb of the root: waits for the launcher's window, keeps a
# screenshot and ends the launcher; the command's own exit code is the step's result.
run_command() {
    # The display a developer already has; the set-up has usually installed these by now.
    in_root "command -v Xvfb && command -v xdotool && command -v import ||
        apt-get install -y -q --no-install-recommends xvfb xauth xdotool imagemagick" || return 1
    in_root "Xvfb :$DISPLAY_NO -screen 0 1600x1000x24 -nolisten tcp >/tmp/xvfb.log 2>&1 &
        for i in \$(seq 100); do [ -e /tmp/.X11-unix/X$DISPLAY_NO ] && break; sleep 0.1; done
        export DISPLAY=:$DISPLAY_NO
        cd $SRC_IN_ROOT
        (tools/setup-debian.sh && tools/run-local.sh) &
        run=\$!
        wid=
        for i in \$(seq 3600); do
            wid=\$(xdotool search --onlyvisible --name '^Quelvane\$' 2>/dev/null | head -n 1)
            [ -n \"\$wid\" ] && break
            kill -0 \$run 2>/dev/null || break
            sleep 1
        done
        if [ -z \"\$wid\" ]; then
            echo 'the launcher window did not show'
            kill \$run 2>/dev/null; wait \$run; exit 1
        fi
        echo \"launcher window \$wid shown\"
        sleep 8   # the version check and the fade to the game page
        import -window root /tmp/run-local.png
        pid=\$(xdotool getwindowpid \$wid)
        echo \"ending the launcher (pid \$pid)\"
        kill \$pid
        wait \$run
        rc=\$?
        echo \"run command exit code \$rc\"
        exit \$((rc == 0 || rc == 143 ? 0 : rc))" || return 1
    cp "$ROOTFS/tmp/run-local.png" "$OUT/run-local.png" && echo "screenshot: $OUT/run-local.png"
}

test_command() {
    in_root "cd $SRC_IN_ROOT && tools/setup-debian.sh && tools/test.sh"
    local rc=$?
    # A few tour pictures, to compare by pixels with the same pictures of another machine.
    local pictures="$ROOTFS$SRC_IN_ROOT/build/tests/look/pictures"
    if [ -d "$pictures" ]; then
        mkdir -p "$OUT/pictures"
        for p in english/download-long-texts english/keep-update dutch/exit-confirmation \
            french/settings-general turkish/ready japanese/download-running; do
            mkdir -p "$OUT/pictures/$(dirname "$p")"
            cp "$pictures/$p.png" "$OUT/pictures/$p.png" 2>/dev/null
        done
        echo "tour pictures kept in $OUT/pictures"
    fi
    return $rc
}

mkdir -p "$OUT"
echo "fresh-machine check of $COMMIT ($(git -C "$REPO" log -1 --format=%s "$COMMIT"))"
echo "root $ROOTFS, mirror $MIRROR, logs in $OUT"
T0=$(date +%s)
step debootstrap make_root &&
    step prepare-root prepare_root &&
    step clone clone_repo &&
    {
        step test-command locked test_command
        step run-command locked run_command
    }
cleanup
secs=$(($(date +%s) - T0))
if [ $FAILED -eq 0 ]; then
    printf 'fresh-machine check: PASS in %dm%02ds\n' $((secs / 60)) $((secs % 60))
else
    printf 'fresh-machine check: FAIL in %dm%02ds\n' $((secs / 60)) $((secs % 60))
fi
exit $FAILED
