#pragma once

// Small file and data helpers every test folder needs: whole-file reads and writes, the MD5 digest
// as the version file lists it, and reproducible test bytes.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QString>

namespace TestFiles {

// The whole file; a null array when it cannot be read.
inline QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Replaces the file with data, making its folder first.
inline bool writeFile(const QString &path, const QByteArray &data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// Lower-case hex MD5, as in the version file.
inline QString md5Hex(const QByteArray &data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

inline QByteArray randomBytes(int size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = char(generator.bounded(256));
    return data;
}

// Bytes whose value depends on their position, so that a piece stored at the wrong offset (or
// shifted by any whole number of pieces) or a truncated copy changes the content.
inline QByteArray patternBytes(qint64 size, quint32 seed = 1) {
    QByteArray out(int(size), Qt::Uninitialized);
    char *p = out.data();
    for (qint64 i = 0; i < size; ++i) {
        const quint32 x = quint32(i) * 2654435761u + seed * 40503u;
        p[i] = char((x >> 24) ^ (quint32(i) >> 22) ^ (quint32(i) >> 11));
    }
    return out;
}

} // namespace TestFiles
