#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Builds zip archives for the tests with the zip library's writer.
struct ZipEntry {
    QByteArray name;
    QByteArray data;
    bool stored = false;              // method 0 instead of deflate
    unsigned long versionMadeBy = 20; // host in the high byte: 0 DOS, 3 Unix
    unsigned long externalAttributes = 0;
    QByteArray password{}; // encrypts the entry (traditional PKWARE encryption) when not empty
};

bool writeZip(const QString &path, const QList<ZipEntry> &entries);

// An entry made on Unix with the given mode bits (e.g. 0100755 for an executable file).
ZipEntry unixEntry(const QByteArray &name, const QByteArray &data, unsigned long mode);
