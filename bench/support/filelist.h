#pragma once

// The release a download benchmark fetches: a list of "name md5 size" lines, each file served as
// "v1_<name>" below the CDN's base URL.

#include "download/xdmanager.h"
#include "trust/versiontable.h"

#include <QIODevice>
#include <QString>
#include <QStringList>

namespace BenchFiles {

struct Queued {
    qint64 bytes = 0;
    int files = 0;
};

// Lists every file of `list` in the version table and queues it in `manager`.
inline Queued queue(QIODevice &list, XDManager &manager) {
    Queued queued;
    while (!list.atEnd()) {
        const QStringList f = QString::fromUtf8(list.readLine()).simplified().split(QLatin1Char(' '));
        if (f.size() < 3)
            continue;
        RemoteFileInfo info;
        info.name = f.at(0);
        info.version = QStringLiteral("1");
        info.md5 = f.at(1);
        info.size = f.at(2).toLongLong();
        VersionTable::instance().insert(info.name, info);
        manager.addFile(QStringLiteral("v1_") + info.name, info.name);
        queued.bytes += info.size;
        ++queued.files;
    }
    return queued;
}

} // namespace BenchFiles
