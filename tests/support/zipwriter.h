#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Builds zip archives for the tests with the zip library's writer (library kv_testzip).
struct ZipEntry {
    QByteArray name;
    QByteArray data;
    bool stored = false;              // method 0 instead of deflate
    unsigned long versionMadeBy = 20; // host in the high byte: 0 DOS, 3 Unix
    unsigned long externalAttributes = 0;
    QByteArray password{}; // encrypts the entry (traditional PKWARE encryption) when not empty
    bool zip64 = false;    // Zip64 extra fields in the headers, as large-file writers make them
};

// Writes the entries in order.
bool writeZip(const QString &path, const QList<ZipEntry> &entries);

// The archive's bytes (every entry with Zip64 extra fields), written through a temporary file;
// empty when it cannot be written.
QByteArray zipBytes(QList<ZipEntry> entries);

// An entry made on Unix with the given mode bits (e.g. 0100755 for an executable file).
ZipEntry unixEntry(const QByteArray &name, const QByteArray &data, unsigned long mode);
