#include "tools/fakegame/crashzip.h"

#include <zlib.h>

namespace {

void put16(QByteArray &b, quint32 v) {
    b.append(char(v & 0xff));
    b.append(char((v >> 8) & 0xff));
}

void put32(QByteArray &b, quint32 v) {
    put16(b, v & 0xffff);
    put16(b, v >> 16);
}

} // namespace

QByteArray CrashZip::build(const QString &entryName, const QByteArray &content) {
    const QByteArray name = entryName.toUtf8();
    const quint32 crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(content.constData()),
                              uInt(content.size()));
    const quint32 size = quint32(content.size());
    const quint32 dosTime = 0;                                   // 00:00:00
    const quint32 dosDate = ((2024 - 1980) << 9) | (1 << 5) | 1; // 2024-01-01

    // The fields a local header and its central directory record share, from "version needed" to
    // the extra field's length: UTF-8 names, stored, no extra field.
    const auto putEntryFields = [&](QByteArray &b) {
        put16(b, 20);
        put16(b, 0x0800); // names are UTF-8
        put16(b, 0);      // stored
        put16(b, dosTime);
        put16(b, dosDate);
        put32(b, crc);
        put32(b, size);
        put32(b, size);
        put16(b, quint32(name.size()));
        put16(b, 0);
    };

    QByteArray zip;
    put32(zip, 0x04034b50); // local file header
    putEntryFields(zip);
    zip += name;
    zip += content;

    const quint32 centralStart = quint32(zip.size());
    put32(zip, 0x02014b50); // central directory header
    put16(zip, (3 << 8) | 20);
    putEntryFields(zip);
    put16(zip, 0); // comment length
    put16(zip, 0); // disk number
    put16(zip, 0); // internal attributes
    put32(zip, 0100644u << 16);
    put32(zip, 0); // local header offset
    zip += name;
    const quint32 centralSize = quint32(zip.size()) - centralStart;

    put32(zip, 0x06054b50); // end of central directory
    put16(zip, 0);
    put16(zip, 0);
    put16(zip, 1);
    put16(zip, 1);
    put32(zip, centralSize);
    put32(zip, centralStart);
    put16(zip, 0);
    return zip;
}
