#include "lan/laninterfaces.h"

#include "platform/platform.h"

#include <QDebug>
#include <QNetworkInterface>
#include <QStringList>

LanSubnets LanInterfaces::usable() {
    LanSubnets subnets;
    QStringList chosen;
    QStringList leftOut;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        const QString name = interface.name();
        QString why = leftOutBecause(interface);
        LanSubnets own;
        if (why.isEmpty()) {
            for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
                QHostAddress ip = entry.ip();
                if (!isPrivate(ip) || entry.prefixLength() <= 0)
                    continue;
                if (ip.protocol() == QAbstractSocket::IPv6Protocol && ip.scopeId().isEmpty() &&
                    ip.isInSubnet(QHostAddress(QStringLiteral("fe80::")), 10))
                    ip.setScopeId(name);
                own.append(LanSubnet{name, interface.index(), ip, entry.prefixLength()});
            }
            if (own.isEmpty())
                why = QStringLiteral("no private address");
        }
        if (why.isEmpty() && !Platform::lanAdapterAllowed(interface.index(), &why) && why.isEmpty())
            why = QStringLiteral("refused by the system");
        if (!why.isEmpty()) {
            leftOut.append(QStringLiteral("%1 (%2)").arg(name, why));
            continue;
        }
        QStringList addresses;
        for (const LanSubnet &s : own)
            addresses.append(QStringLiteral("%1/%2").arg(s.address.toString()).arg(s.prefixLength));
        chosen.append(QStringLiteral("%1 [%2]").arg(name, addresses.join(QStringLiteral(", "))));
        subnets += own;
    }
    qInfo().noquote() << "lan: interfaces for the local network:"
                      << (chosen.isEmpty() ? QStringLiteral("none") : chosen.join(QStringLiteral("; ")))
                      << "| left out:"
                      << (leftOut.isEmpty() ? QStringLiteral("none") : leftOut.join(QStringLiteral("; ")));
    return subnets;
}

bool LanInterfaces::isPrivate(const QHostAddress &address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) {
        const QHostAddress a(v4);
        static const QPair<QHostAddress, int> ranges[] = {
            QHostAddress::parseSubnet(QStringLiteral("10.0.0.0/8")),
            QHostAddress::parseSubnet(QStringLiteral("172.16.0.0/12")),
            QHostAddress::parseSubnet(QStringLiteral("192.168.0.0/16")),
            QHostAddress::parseSubnet(QStringLiteral("169.254.0.0/16")),
        };
        for (const auto &r : ranges)
            if (a.isInSubnet(r))
                return true;
        return false;
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    // fc00::/7, fe80::/10.
    return (bytes[0] & 0xfe) == 0xfc || (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80);
}

bool LanInterfaces::isVpnName(const QString &name) {
    static const char *const prefixes[] = {"tun", "tap", "wg", "ppp", "utun", "ipsec", "zt", "tailscale"};
    for (const char *prefix : prefixes)
        if (name.startsWith(QLatin1String(prefix), Qt::CaseInsensitive))
            return true;
    return false;
}

QString LanInterfaces::leftOutBecause(const QNetworkInterface &interface) {
    const QNetworkInterface::InterfaceFlags flags = interface.flags();
    if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::IsRunning))
        return QStringLiteral("down");
    if (flags.testFlag(QNetworkInterface::IsLoopBack) || interface.type() == QNetworkInterface::Loopback)
        return QStringLiteral("loopback");
    if (flags.testFlag(QNetworkInterface::IsPointToPoint) || interface.type() == QNetworkInterface::Ppp)
        return QStringLiteral("point-to-point");
    if (!flags.testFlag(QNetworkInterface::CanMulticast))
        return QStringLiteral("no multicast");
    if (interface.type() == QNetworkInterface::Virtual || isVpnName(interface.name()))
        return QStringLiteral("VPN");
    return QString();
}
