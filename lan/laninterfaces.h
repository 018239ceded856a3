#pragma once

#include "lan/lansubnet.h"

#include <QHostAddress>
#include <QString>

class QNetworkInterface;

// Which network interfaces and addresses take part in sharing with the local network.
class LanInterfaces {
public:
    // The private addresses (isPrivate) of every interface that is up, running and multicast-capable
    // and is no loopback, point-to-point link or VPN (leftOutBecause), each with its subnet. Logs
    // one line naming the interfaces chosen and why the others were left out.
    static LanSubnets usable();

    // RFC 1918 (10/8, 172.16/12, 192.168/16), IPv4 link-local (169.254/16), unique local IPv6
    // (fc00::/7) and IPv6 link-local (fe80::/10). IPv4 written as IPv6 (::ffff:a.b.c.d) counts as IPv4.
    static bool isPrivate(const QHostAddress &address);

    // Names VPN software gives its interfaces: tun*, tap*, wg*, ppp*, utun*, ipsec*, zt*, tailscale*.
    static bool isVpnName(const QString &name);

    // Why an interface takes no part, from its flags, type and name (not its addresses, not the
    // platform's view); empty when it may.
    static QString leftOutBecause(const QNetworkInterface &interface);
};
