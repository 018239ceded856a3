# shellcheck shell=bash
# Network namespaces as the hosts of one local network, for scripts and tests that source this file
# (bash). Every host is a namespace with one interface, eth0, plugged into one bridge; the bridge
# lives in a namespace of its own (the switch), so nothing of the machine's own network is touched
# and the machine's firewall never sees the traffic. The bridge floods multicast to every port, as
# an unmanaged switch does. Needs root and iproute2.
#
#   netns_available            0 when namespaces can be made here, else prints why and returns 1
#   netns_up NAME ADDR/LEN [GATEWAY]
#                              host NAME with that address on eth0 (the switch comes with the first
#                              host); a default route through GATEWAY, else a route for multicast only
#   netns_name NAME            the namespace's full name (for ip netns exec, ss -N and the like)
#   netns_exec NAME CMD...     runs CMD in host NAME
#   netns_down                 ends every process left in this run's namespaces and removes them
#   netns_sweep                removes the namespaces of earlier runs whose shell is gone
#
# The names start with NETNS_PREFIX (default "kv<pid of the sourcing shell>-"), so runs side by side
# never meet; a run that was killed before netns_down leaves namespaces that netns_sweep takes away.
# Call netns_down from an EXIT trap.

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

netns_switch_up() {
    [ -n "$NETNS_SWITCH" ] && return 0
    local sw="${NETNS_PREFIX}switch"
    ip netns add "$sw" || return 1
    NETNS_SWITCH=$sw
    ip -n "$sw" link set lo up &&
        ip -n "$sw" link add br0 type bridge stp_state 0 mcast_snooping 0 &&
        ip -n "$sw" link set br0 up
}

netns_up() {
    local name=$1 addr=$2 gateway=${3:-} ns port
    case $addr in
        */*) ;;
        *) echo "netns_up: $addr needs its prefix length (10.77.0.2/24)" >&2; return 1 ;;
    esac
    netns_switch_up || return 1
    ns=$(netns_name "$name")
    ip netns add "$ns" || return 1
    NETNS_HOSTS+=("$ns")
    port="p${#NETNS_HOSTS[@]}"
    # Link-local IPv6 addresses usable at once: no duplicate detection on a wire of our own.
    ip netns exec "$ns" sysctl -q -w net.ipv6.conf.default.accept_dad=0 &&
        ip -n "$ns" link set lo up &&
        ip link add eth0 netns "$ns" type veth peer name "$port" netns "$NETNS_SWITCH" &&
        ip -n "$NETNS_SWITCH" link set "$port" master br0 &&
        ip -n "$NETNS_SWITCH" link set "$port" up &&
        ip -n "$ns" addr add "$addr" dev eth0 &&
        ip -n "$ns" link set eth0 up || return 1
    if [ -n "$gateway" ]; then
        ip -n "$ns" route add default via "$gateway" dev eth0 || return 1
    else
        ip -n "$ns" route add 224.0.0.0/4 dev eth0 || return 1
    fi
}

# _netns_end NS: every process in the namespace, TERM first, KILL after 5 s; then the namespace.
_netns_end() {
    local ns=$1 pids i
    pids=$(ip netns pids "$ns" 2>/dev/null || true)
    if [ -n "$pids" ]; then
        # shellcheck disable=SC2086
        kill -TERM $pids 2>/dev/null || true
        for ((i = 0; i < 50; i++)); do
            pids=$(ip netns pids "$ns" 2>/dev/null || true)
            [ -z "$pids" ] && break
            sleep 0.1
        done
        if [ -n "$pids" ]; then
            # shellcheck disable=SC2086
            kill -KILL $pids 2>/dev/null || true
        fi
    fi
    ip netns del "$ns" 2>/dev/null || true
}

netns_down() {
    local ns
    for ns in "${NETNS_HOSTS[@]}"; do
        _netns_end "$ns"
    done
    NETNS_HOSTS=()
    # The switch last: its ports go with the hosts' interfaces.
    if [ -n "$NETNS_SWITCH" ]; then
        _netns_end "$NETNS_SWITCH"
        NETNS_SWITCH=
    fi
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
