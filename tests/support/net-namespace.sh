#!/bin/sh
# net-namespace.sh SETUP PROGRAM [ARGS...]
# Runs a test in a private network namespace of its own when it can (root, unshare allowed), after
# the shell script SETUP has built the test's small network there (interfaces, addresses), so that
# the test may send multicast and bind addresses without touching the machine's own network. The
# test learns which through KV_NET_NAMESPACE ("private", or why not) and skips its network cases.
setup=$1
shift
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n sh -c 'sh "$0" || { echo "net-namespace: $0 failed" >&2; exit 1; }
        KV_NET_NAMESPACE=private exec "$@"' "$setup" "$@"
fi
if [ "$(id -u)" -ne 0 ]; then
    KV_NET_NAMESPACE="not root"
else
    KV_NET_NAMESPACE="unshare -n is not allowed here"
fi
export KV_NET_NAMESPACE
exec "$@"
