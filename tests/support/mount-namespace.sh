#!/bin/sh
# Runs a test in a private mount namespace when it can (root, unshare allowed), so that the test may
# mount a small tmpfs or bind a file over itself without touching the machine's own mounts. The test
# learns which through KV_MOUNT_NAMESPACE ("private", or why not) and skips its disk-fault cases.
if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
    KV_MOUNT_NAMESPACE=private exec unshare -m --propagation private "$@"
fi
if [ "$(id -u)" -ne 0 ]; then
    KV_MOUNT_NAMESPACE="not root"
else
    KV_MOUNT_NAMESPACE="unshare -m is not allowed here"
fi
export KV_MOUNT_NAMESPACE
exec "$@"
