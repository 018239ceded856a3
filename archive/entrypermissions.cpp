#include "archive/entrypermissions.h"

#include <QFile>

namespace {

constexpr unsigned long hostUnix = 3;

QFileDevice::Permissions permissionsFromMode(unsigned long mode) {
    // Qt keeps separate "owner" and "user" flags; on Unix both stand for the file's owner.
    static const struct {
        unsigned long bit;
        QFileDevice::Permissions flags;
    } table[] = {
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
    QFileDevice::Permissions result;
    for (const auto &entry : table) {
        if (mode & entry.bit)
            result |= entry.flags;
    }
    return result;
}

} // namespace

bool applyEntryPermissions(const QString &filePath, unsigned long versionMadeBy,
                           unsigned long externalAttributes) {
    if ((versionMadeBy >> 8) != hostUnix)
        return true;
    // Only regular files take their mode: other kinds (a symbolic link is stored with 0777) are
    // written as plain files and keep the default permissions.
    const unsigned long type = (externalAttributes >> 16) & 0170000;
    if (type != 0 && type != 0100000)
        return true;
    unsigned long mode = (externalAttributes >> 16) & 0777;
    if (mode == 0) // some writers mark Unix but store no mode
        return true;
    mode |= 0600;
    return QFile::setPermissions(filePath, permissionsFromMode(mode));
}
