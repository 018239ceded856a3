# shellcheck shell=bash
# The network of test_lan, all in one host (sourced by tests/support/netns.sh):
#   kva 10.77.0.1/24 + .3, fd77::1/64  <-veth->  kvb 10.77.0.2/24 + .10-.19, fd77::2/64
#   kvc     veth without multicast, 10.99.0.1/24: a source outside the subnet
#   tapkv   veth named like a VPN, 10.66.0.1/24;  kvpub  veth with a public address, 198.51.100.1/24
# shellcheck disable=SC2034 # read by netns.sh
NETNS_RUN=lan
# shellcheck disable=SC2016 # expanded by the inner shell
netns_add lan && netns_exec lan sh -eu -c '
ip link add kva type veth peer name kvb
ip link add tapkv type veth peer name kvt
ip link add kvpub type veth peer name kvp
ip link add kvc type veth peer name kvcp
ip addr add 10.77.0.1/24 dev kva
ip addr add 10.77.0.3/24 dev kva
ip addr add fd77::1/64 dev kva nodad
ip addr add 10.77.0.2/24 dev kvb
ip addr add fd77::2/64 dev kvb nodad
for i in 10 11 12 13 14 15 16 17 18 19; do ip addr add 10.77.0.$i/24 dev kvb; done
ip addr add 10.99.0.1/24 dev kvc
ip addr add 10.66.0.1/24 dev tapkv
ip addr add 198.51.100.1/24 dev kvpub
# No IPv6 link-local address where the test wants no private address.
for l in kvpub kvp kvt kvcp; do sysctl -qw "net.ipv6.conf.$l.disable_ipv6=1"; done
for l in kva kvb kvc kvcp tapkv kvt kvpub kvp; do ip link set "$l" up; done
ip link set kvc multicast off
# Both ends live here: accept datagrams whose source is an address of this very namespace.
for c in all default kva kvb; do
    sysctl -qw "net.ipv4.conf.$c.accept_local=1" "net.ipv4.conf.$c.rp_filter=0"
done'
