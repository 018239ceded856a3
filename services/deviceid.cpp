#include "services/deviceid.h"

#include "platform/platform.h"

#include <QDebug>

#include <cstdio>

namespace {

constexpr int RawHeaderSize = 8;
constexpr int StructureHeaderSize = 4; // type, length, handle
constexpr int UuidOffset = 8;
constexpr int UuidSize = 16;

} // namespace

bool formatSystemUuid(const unsigned char *uuid16, quint16 version, char *out, size_t outSize) {
    if (!uuid16 || !out || outSize < 38)
        return false;
    bool allFF = true;
    bool allZero = true;
    for (int i = 0; i < UuidSize; ++i) {
        allFF = allFF && uuid16[i] == 0xFF;
        allZero = allZero && uuid16[i] == 0x00;
    }
    if (allFF || allZero)
        return false;

    const unsigned char *u = uuid16;
    int written = 0;
    if (version < 0x0206) {
        written = std::snprintf(
            out, outSize, "-%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0], u[1],
            u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    } else {
        written = std::snprintf(
            out, outSize, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[3], u[2],
            u[1], u[0], u[5], u[4], u[7], u[6], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    }
    return written > 0 && static_cast<size_t>(written) < outSize;
}

QString deviceIdFromSmbiosTable(const QByteArray &raw) {
    if (raw.isEmpty())
        return QString();
    if (raw.size() < RawHeaderSize) {
        qDebug() << "smbios table too short size=" << raw.size();
        return QString();
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(raw.constData());
    const quint64 length =
        quint64(bytes[4]) | quint64(bytes[5]) << 8 | quint64(bytes[6]) << 16 | quint64(bytes[7]) << 24;
    if (quint64(raw.size()) != length + RawHeaderSize) {
        qDebug() << "smbios table size mismatch size=" << raw.size() << "length=" << length;
        return QString();
    }
    const quint16 version = quint16(bytes[1] << 8 | bytes[2]);
    const unsigned char *data = bytes + RawHeaderSize;
    const size_t end = static_cast<size_t>(length);

    size_t pos = 0;
    while (pos + StructureHeaderSize <= end) {
        const unsigned char type = data[pos];
        const size_t formatted = data[pos + 1];
        if (formatted < StructureHeaderSize || formatted > end - pos) {
            qDebug() << "smbios structure length out of bounds offset=" << pos << "length=" << formatted;
            return QString();
        }
        if (type == 1 && formatted >= UuidOffset + UuidSize) {
            char text[64];
            if (formatSystemUuid(data + pos + UuidOffset, version, text, sizeof text))
                return QString::fromLatin1(text);
        }
        // The string set follows the formatted area and ends with two zero bytes.
        size_t p = pos + formatted;
        while (p + 1 < end && !(data[p] == 0 && data[p + 1] == 0))
            ++p;
        if (p + 1 >= end) {
            qDebug() << "smbios string set unterminated offset=" << pos;
            return QString();
        }
        pos = p + 2;
    }
    return QString();
}

QString readDeviceId() {
    return deviceIdFromSmbiosTable(Platform::rawSmbiosTable());
}
