#include "support/diskfaults.h"

// Where mount namespaces do not exist, every disk-fault case skips.
namespace DiskFaults {

QString unavailable() {
    return QStringLiteral("no mount namespaces on this system");
}

bool mountSmallDisk(const QString &, qint64, QString *why) {
    if (why)
        *why = unavailable();
    return false;
}

bool holdFile(const QString &, QString *why) {
    if (why)
        *why = unavailable();
    return false;
}

bool unmount(const QString &) {
    return false;
}

} // namespace DiskFaults
