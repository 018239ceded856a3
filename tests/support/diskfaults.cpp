#include "support/diskfaults.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

namespace DiskFaults {

namespace {

bool fail(QString *why, const QString &text) {
    if (why)
        *why = text + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

} // namespace

QString unavailable() {
    if (::geteuid() != 0)
        return QStringLiteral("mounting a small disk needs root");
    const QByteArray state = qgetenv("KV_MOUNT_NAMESPACE");
    if (state != "private")
        return QStringLiteral("not in a private mount namespace (%1)")
            .arg(state.isEmpty() ? QStringLiteral("test not run through mount-namespace.sh")
                                 : QString::fromLocal8Bit(state));
    return {};
}

bool mountSmallDisk(const QString &dir, qint64 bytes, QString *why) {
    if (!unavailable().isEmpty()) {
        if (why)
            *why = unavailable();
        return false;
    }
    QDir().mkpath(dir);
    const QByteArray options = "size=" + QByteArray::number(bytes);
    if (::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, options.constData()) != 0)
        return fail(why, QStringLiteral("cannot mount a tmpfs on %1").arg(dir));
    return true;
}

bool holdFile(const QString &file, QString *why) {
    if (!unavailable().isEmpty()) {
        if (why)
            *why = unavailable();
        return false;
    }
    const QByteArray path = QFile::encodeName(file);
    if (::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0)
        return fail(why, QStringLiteral("cannot bind %1 over itself").arg(file));
    return true;
}

bool unmount(const QString &path) {
    return ::umount2(QFile::encodeName(path).constData(), MNT_DETACH) == 0;
}

} // namespace DiskFaults
