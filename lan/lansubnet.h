#pragma once

#include <QHostAddress>
#include <QString>
#include <QVector>

// One address of a network interface that takes part in sharing with the local network: where the
// launcher searches for peers and answers them, and the subnet whose hosts it serves.
struct LanSubnet {
    QString interfaceName; // QNetworkInterface::name()
    int interfaceIndex = 0;
    QHostAddress address; // the interface's own address
    int prefixLength = 0; // of the subnet around it

    bool contains(const QHostAddress &other) const {
        return other.protocol() == address.protocol() && other.isInSubnet(address, prefixLength);
    }
};

using LanSubnets = QVector<LanSubnet>;

// Whether `other` lies inside one of the subnets.
bool subnetsContain(const LanSubnets &subnets, const QHostAddress &other);
