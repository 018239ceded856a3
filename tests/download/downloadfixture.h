#pragma once

#include "download/versiontable.h"
#include "support/testfiles.h"

#include <QByteArray>
#include <QString>

using TestFiles::patternBytes;

inline QString md5Of(const QByteArray &data) {
    return TestFiles::md5Hex(data);
}

inline void putTableEntry(const QString &name, const QString &version, const QByteArray &content) {
    RemoteFileInfo info;
    info.name = name;
    info.version = version;
    info.md5 = md5Of(content);
    info.size = content.size();
    VersionTable::instance().insert(name, info);
}
