#include "lan/lansubnet.h"

bool subnetsContain(const LanSubnets &subnets, const QHostAddress &other) {
    for (const LanSubnet &s : subnets)
        if (s.contains(other))
            return true;
    return false;
}
