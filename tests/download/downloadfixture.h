#pragma once

#include "download/versiontable.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

// Bytes whose value depends on their position, so that a piece stored at the wrong offset (or
// shifted by any whole number of pieces) changes the content.
inline QByteArray patternBytes(qint64 size, quint32 seed = 1) {
    QByteArray out(int(size), Qt::Uninitialized);
    char *p = out.data();
    for (qint64 i = 0; i < size; ++i) {
        const quint32 x = quint32(i) * 2654435761u + seed * 40503u;
        p[i] = char((x >> 24) ^ (quint32(i) >> 22) ^ (quint32(i) >> 11));
    }
    return out;
}

inline QString md5Of(const QByteArray &data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

inline void putTableEntry(const QString &name, const QString &version, const QByteArray &content) {
    RemoteFileInfo info;
    info.name = name;
    info.version = version;
    info.md5 = md5Of(content);
    info.size = content.size();
    VersionTable::instance().insert(name, info);
}
