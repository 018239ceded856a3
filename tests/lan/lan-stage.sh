# shellcheck shell=bash
# The network of test_lan_sharing (sourced by tests/support/netns.sh), on one bridge: the test in
# "lab" (10.78.0.1: the CDN, the event log, the search's listener, and the clients 10.78.0.21-25 plus
# 10.79.0.9 from outside the subnet), the launchers pc1-pc3 and the fake peers flip, vanish, silent,
# entryflip.
# shellcheck disable=SC2034 # read by netns.sh
NETNS_RUN=lab
netns_up lab 10.78.0.1/24 || return 1
for host in pc1:11 pc2:12 pc3:13 flip:31 vanish:32 silent:33 entryflip:34; do
    netns_up "${host%%:*}" "10.78.0.${host##*:}/24" 10.78.0.1 || return 1
done
for host in 21 22 23 24 25; do
    ip -n "$(netns_name lab)" addr add "10.78.0.$host/24" dev eth0 || return 1
done
ip -n "$(netns_name lab)" addr add 10.79.0.9/24 dev eth0
