#include "archive/entrypermissions.h"

#include <QFile>

namespace {

constexpr unsigned long hostUnix = 3;

// Qt keeps separate "owner" and "user" flags; on Unix both stand for the file's owner.
const struct {
    unsigned long bit;
    QFileDevice::Permissions flags;
} modeBits[] = {
    {0400, QFileDevice::ReadOwner | QFileDevice::ReadUser},
    {0200, QFileDevice::WriteOwner | QFileDevice::WriteUser},
    {0100, QFileDevice::ExeOwner | QFileDevice::ExeUser},
    {0040, QFileDevice::ReadGroup},
    {0020, QFileDevice::WriteGroup},
    {0010, QFileDevice::ExeGroup},
    {0004, QFileDevice::ReadOther},
    {0002, QFileDevice::WriteOther},
    {0001, QFileDevice::ExeOther},
};

QFileDevice::Permissions permissionsFromMode(unsigned long mode) {
    QFileDevice::Permissions result;
    for (const auto &entry : modeBits) {
        if (mode & entry.bit)
            result |= entry.flags;
    }
    return result;
}

} // namespace

unsigned long entryMode(unsigned long versionMadeBy, unsigned long externalAttributes) {
    if ((versionMadeBy >> 8) != hostUnix)
        return 0;
    // Only regular files take their mode: other kinds (a symbolic link is stored with 0777) are
    // written as plain files and keep the default permissions.
    const unsigned long type = (externalAttributes >> 16) & 0170000;
    if (type != 0 && type != 0100000)
        return 0;
    return (externalAttributes >> 16) & 0777; // some writers mark Unix but store no mode
}

unsigned long modeOfPermissions(QFileDevice::Permissions permissions) {
    // The "user" flags are the running user's access, which need not be the owner's.
    permissions &= ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
    unsigned long mode = 0;
    for (const auto &entry : modeBits) {
        if (permissions & entry.flags)
            mode |= entry.bit;
    }
    return mode;
}

bool applyEntryPermissions(const QString &filePath, unsigned long versionMadeBy,
                           unsigned long externalAttributes) {
    const unsigned long mode = entryMode(versionMadeBy, externalAttributes);
    if (mode == 0)
        return true;
    return QFile::setPermissions(filePath, permissionsFromMode(mode | 0600));
}
