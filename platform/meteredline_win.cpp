// Windows: the network cost API (win32_networkcost.cpp).

#include "platform/platform.h"
#include "platform/win32calls.h"

#include <QDebug>

namespace Platform {

bool connectionMetered() {
    long error = 0;
    const Win32::ConnectionCost cost = Win32::connectionCost(&error);
    if (cost == Win32::ConnectionCost::Unknown) {
        // Told once a process: the launcher asks before every download.
        static bool told = false;
        if (!told) {
            told = true;
            qWarning().noquote()
                << "cannot tell whether the connection is metered, taken as not metered:"
                << QStringLiteral("network cost API error 0x%1").arg(ulong(error), 8, 16, QLatin1Char('0'));
        }
        return false;
    }
    return cost == Win32::ConnectionCost::Metered;
}

} // namespace Platform
