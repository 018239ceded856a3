#pragma once

#include "support/httpserver.h"
#include "support/testfiles.h"
#include "trust/versiontable.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

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

// Each case starts afresh: the server without faults or logged requests, an empty version table and
// a new temporary folder in `dir`. False when the folder cannot be made.
inline bool startAfresh(HttpServer &server, std::unique_ptr<QTemporaryDir> &dir) {
    server.clearFaults();
    server.clearRequests();
    VersionTable::release();
    dir.reset(new QTemporaryDir);
    return dir->isValid();
}
