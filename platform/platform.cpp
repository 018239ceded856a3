// Parts of the platform layer that are the same on every operating system.

#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex overrideMutex;
QString launcherDirOverride;

quint16 le16(const QByteArray &b, int at) {
    return quint16(quint8(b[at]) | (quint8(b[at + 1]) << 8));
}

quint32 le32(const QByteArray &b, int at) {
    return quint32(quint8(b[at])) | (quint32(quint8(b[at + 1])) << 8) | (quint32(quint8(b[at + 2])) << 16) |
           (quint32(quint8(b[at + 3])) << 24);
}

} // namespace

namespace Platform {

QString launcherDir() {
    {
        QMutexLocker lock(&overrideMutex);
        if (!launcherDirOverride.isEmpty())
            return launcherDirOverride;
    }
    return QCoreApplication::applicationDirPath();
}

void setLauncherDirOverride(const QString &dir) {
    QMutexLocker lock(&overrideMutex);
    // Kept in the toolkit's form (forward slashes, no trailing slash) like applicationDirPath().
    launcherDirOverride = dir.isEmpty() ? QString() : QDir::cleanPath(QDir::fromNativeSeparators(dir));
}

QString launcherExecutablePath() {
    return QCoreApplication::applicationFilePath();
}

QByteArray assembleSmbiosTable(const QByteArray &entryPoint, const QByteArray &dmi) {
    quint8 major = 0;
    quint8 minor = 0;
    quint8 revision = 0;
    quint32 declared = 0;

    if (entryPoint.size() >= 0x18 && entryPoint.startsWith("_SM3_")) {
        // 3.x: length at 6, major 7, minor 8, document revision 9, table maximum size (LE32) at 12.
        const int epLength = quint8(entryPoint[6]);
        if (epLength < 0x18 || epLength > entryPoint.size())
            return QByteArray();
        major = quint8(entryPoint[7]);
        minor = quint8(entryPoint[8]);
        revision = quint8(entryPoint[9]);
        declared = le32(entryPoint, 12);
    } else if (entryPoint.size() >= 0x1E && entryPoint.startsWith("_SM_")) {
        // 2.x: length at 5, major 6, minor 7, revision 10, "_DMI_" at 16, table length (LE16) at 22.
        const int epLength = quint8(entryPoint[5]);
        if (epLength < 0x1E || epLength > entryPoint.size() || entryPoint.mid(16, 5) != "_DMI_")
            return QByteArray();
        major = quint8(entryPoint[6]);
        minor = quint8(entryPoint[7]);
        revision = quint8(entryPoint[10]);
        declared = le16(entryPoint, 22);
    } else {
        return QByteArray();
    }

    const quint32 length = qMin<quint32>(declared, quint32(dmi.size()));
    if (length == 0)
        return QByteArray();

    QByteArray out;
    out.reserve(8 + int(length));
    out.append(char(0));
    out.append(char(major));
    out.append(char(minor));
    out.append(char(revision));
    for (int i = 0; i < 4; ++i)
        out.append(char((length >> (8 * i)) & 0xFF));
    out.append(dmi.constData(), int(length));
    return out;
}

} // namespace Platform
