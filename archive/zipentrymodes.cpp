#include "archive/zipentrymodes.h"

#include "archive/entrypermissions.h"
#include "archive/zipformat.h"

#include <QFileInfo>
#include <QtEndian>

namespace {

constexpr int RecordSize = 46;
constexpr quint32 Marker = 0xffffffff; // the value lies in the record's Zip64 extra field
constexpr quint16 MadeOnUnix = 0x0300 | 20;

// A 32-bit field matches its index value, or holds the marker for a value that does not fit it.
bool fits(quint32 field, qint64 listed) {
    return field == Marker ? listed >= qint64(Marker) : qint64(field) == listed;
}

} // namespace

namespace ZipEntryModes {

bool Mode::givesMode() const {
    return entryMode(versionMadeBy, externalAttributes) != 0;
}

QHash<int, Mode> read(const QByteArray &directory, const ZipIndex &index) {
    QHash<QByteArray, int> byName;
    for (int i = 0; i < index.entries().size(); ++i)
        byName.insert(index.entries().at(i).name.toUtf8(), i);
    QHash<int, Mode> modes;
    const auto *d = reinterpret_cast<const uchar *>(directory.constData());
    qint64 at = 0;
    while (at + RecordSize <= directory.size() &&
           qFromLittleEndian<quint32>(d + at) == ZipFormat::CentralSignature) {
        const qint64 nameLength = qFromLittleEndian<quint16>(d + at + 28);
        const qint64 end = at + RecordSize + nameLength + qFromLittleEndian<quint16>(d + at + 30) +
                           qFromLittleEndian<quint16>(d + at + 32);
        if (end > directory.size())
            break;
        const auto entry = byName.constFind(directory.mid(int(at + RecordSize), int(nameLength)));
        if (entry != byName.constEnd()) {
            const ZipIndex::Entry &e = index.entries().at(*entry);
            if (qFromLittleEndian<quint32>(d + at + 16) == e.crc &&
                fits(qFromLittleEndian<quint32>(d + at + 20), e.compressedSize) &&
                fits(qFromLittleEndian<quint32>(d + at + 24), e.size) &&
                fits(qFromLittleEndian<quint32>(d + at + 42), e.headerOffset))
                modes.insert(*entry, {qFromLittleEndian<quint16>(d + at + 4),
                                      qFromLittleEndian<quint32>(d + at + 38)});
        }
        at = end;
    }
    return modes;
}

Mode ofFile(const QString &path) {
    const QFileInfo info(path);
    if (!info.isFile())
        return {};
    return {MadeOnUnix, quint32((0100000 | modeOfPermissions(info.permissions())) << 16)};
}

} // namespace ZipEntryModes
