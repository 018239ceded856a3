#!/bin/bash
# lan-stage.sh PROGRAM [ARGS...]
# Runs the sharing test on a local network of its own (tests/support/netns.sh): the test itself in
# host "lab" (10.78.0.1: the CDN, the event log, the search's listener, and the clients 10.78.0.21-25
# plus 10.79.0.9 from outside the subnet), the launchers pc1-pc3 and the fake peers flip, vanish and
# silent beside it. The test learns the namespaces' prefix from KV_LAN_NETNS_PREFIX; KV_LAN_STAGE is
# "ready", or why there is no stage (the test then skips).
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/netns.sh
. "$here/../support/netns.sh"
if ! why=$(netns_available); then
    KV_LAN_STAGE=$why exec "$@"
fi
netns_sweep
trap netns_down EXIT
up() {
    netns_up lab 10.78.0.1/24 || return 1
    local host
    for host in pc1:11 pc2:12 pc3:13 flip:31 vanish:32 silent:33; do
        netns_up "${host%%:*}" "10.78.0.${host##*:}/24" 10.78.0.1 || return 1
    done
    for host in 21 22 23 24 25; do
        ip -n "$(netns_name lab)" addr add "10.78.0.$host/24" dev eth0 || return 1
    done
    ip -n "$(netns_name lab)" addr add 10.79.0.9/24 dev eth0
}
# A root without its own mounts (a chroot, a container) cannot make namespaces: the test skips.
if ! up; then
    echo "lan-stage: cannot build the network of namespaces here, the sharing test skips" >&2
    netns_down
    trap - EXIT
    KV_LAN_STAGE="cannot build the network of namespaces" exec "$@"
fi
export KV_LAN_STAGE=ready KV_LAN_NETNS_PREFIX=$NETNS_PREFIX
netns_exec lab "$@"
