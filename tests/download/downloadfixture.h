#pragma once

#include "download/versiontable.h"
#include "support/testfiles.h"

#include <QByteArray>
#include <QString>

using TestFiles::md5Hex;
using TestFiles::patternBytes;

inline void putTableEntry(const QString &name, const QString &version, const QByteArray &content) {
    RemoteFileInfo info;
    info.name = name;
    info.version = version;
    info.md5 = md5Hex(content);
    info.size = content.size();
    VersionTable::instance().insert(name, info);
}
