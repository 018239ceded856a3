#!/bin/bash
# Network namespaces as the hosts of one local network: each host of netns_up has eth0 on one bridge
# that floods multicast, in a namespace of its own, so the machine's network never sees the traffic.
# Needs root and iproute2. Sourced (bench/run-lan.sh), it gives:
#   netns_available                    0 when namespaces can be made here, else prints why
#   netns_add NAME                     host NAME with only its loopback
#   netns_up NAME ADDR/LEN [GATEWAY]   host NAME on the bridge; its default route, else multicast's
#   netns_name NAME, netns_exec NAME CMD...
#   netns_down                         ends what runs in this run's namespaces, removes them (EXIT trap)
#   netns_sweep                        removes what earlier runs, now gone, left
# Run as `netns.sh NETWORK PROGRAM [ARGS...]` (kv_add_test NET_NAMESPACE): the file NETWORK builds the
# hosts and sets NETNS_RUN, the host PROGRAM runs in. PROGRAM sees KV_NET_NAMESPACE "ready" and
# KV_NETNS_PREFIX, or KV_NET_NAMESPACE saying why not (it skips); the namespaces go when it ends.

NETNS_PREFIX=${NETNS_PREFIX:-kv$$-}
NETNS_HOSTS=()
NETNS_SWITCH=

netns_available() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "network namespaces need root"
        return 1
    fi
    if ! command -v ip >/dev/null; then
        echo "ip (iproute2) is not installed"
        return 1
    fi
    local probe="${NETNS_PREFIX}probe"
    if ! ip netns add "$probe" 2>/dev/null; then
        echo "ip netns add is not allowed here"
        return 1
    fi
    ip netns del "$probe"
}

netns_name() {
    echo "${NETNS_PREFIX}$1"
}

netns_exec() {
    local name
    name=$(netns_name "$1")
    shift
    ip netns exec "$name" "$@"
}

netns_add() {
    local ns
    ns=$(netns_name "$1")
    ip netns add "$ns" || return 1
    NETNS_HOSTS+=("$ns")
    # Link-local IPv6 addresses usable at once: no duplicate detection on a wire of our own.
    ip netns exec "$ns" sysctl -q -w net.ipv6.conf.default.accept_dad=0 && ip -n "$ns" link set lo up
}

netns_up() {
    local name=$1 addr=$2 gateway=${3:-} ns port
    case $addr in
        */*) ;;
        *) echo "netns_up: $addr needs its prefix length (10.77.0.2/24)" >&2; return 1 ;;
    esac
    if [ -z "$NETNS_SWITCH" ]; then
        ip netns add "${NETNS_PREFIX}switch" || return 1
        NETNS_SWITCH=${NETNS_PREFIX}switch
        ip -n "$NETNS_SWITCH" link set lo up &&
            ip -n "$NETNS_SWITCH" link add br0 type bridge stp_state 0 mcast_snooping 0 &&
            ip -n "$NETNS_SWITCH" link set br0 up || return 1
    fi
    netns_add "$name" || return 1
    ns=$(netns_name "$name")
    port="p${#NETNS_HOSTS[@]}"
    ip link add eth0 netns "$ns" type veth peer name "$port" netns "$NETNS_SWITCH" &&
        ip -n "$NETNS_SWITCH" link set "$port" master br0 &&
        ip -n "$NETNS_SWITCH" link set "$port" up &&
        ip -n "$ns" addr add "$addr" dev eth0 &&
        ip -n "$ns" link set eth0 up || return 1
    if [ -n "$gateway" ]; then
        ip -n "$ns" route add default via "$gateway" dev eth0
    else
        ip -n "$ns" route add 224.0.0.0/4 dev eth0
    fi
}

# _netns_end NS: every process in the namespace, TERM first, KILL after 5 s; then the namespace.
_netns_end() {
    local ns=$1 pids i
    for ((i = 0; i < 51; i++)); do
        pids=$(ip netns pids "$ns" 2>/dev/null || true)
        [ -z "$pids" ] && break
        # shellcheck disable=SC2086
        if [ "$i" -eq 0 ]; then kill -TERM $pids; elif [ "$i" -eq 50 ]; then kill -KILL $pids; fi 2>/dev/null
        sleep 0.1
    done
    ip netns del "$ns" 2>/dev/null || true
}

netns_down() {
    local ns
    # The switch last: its ports go with the hosts' interfaces.
    for ns in "${NETNS_HOSTS[@]}" $NETNS_SWITCH; do
        _netns_end "$ns"
    done
    NETNS_HOSTS=()
    NETNS_SWITCH=
}

netns_sweep() {
    local ns pid
    for ns in $(ip netns list 2>/dev/null | awk '{ print $1 }'); do
        [[ $ns =~ ^kv([0-9]+)- ]] || continue
        pid=${BASH_REMATCH[1]}
        [ "$pid" = "$$" ] && continue
        kill -0 "$pid" 2>/dev/null && continue
        _netns_end "$ns"
    done
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    network=$1
    shift
    if ! KV_NET_NAMESPACE=$(netns_available); then
        export KV_NET_NAMESPACE
        exec "$@"
    fi
    netns_sweep
    trap netns_down EXIT
    NETNS_RUN=
    # A root without its own mounts (a chroot, a container) may fail here: the test skips.
    # shellcheck source=/dev/null
    if ! . "$network" || [ -z "$NETNS_RUN" ]; then
        echo "netns: cannot build the network of $network here, the test skips" >&2
        netns_down
        trap - EXIT
        KV_NET_NAMESPACE="cannot build the network of namespaces" exec "$@"
    fi
    export KV_NET_NAMESPACE=ready KV_NETNS_PREFIX=$NETNS_PREFIX
    netns_exec "$NETNS_RUN" "$@"
fi
