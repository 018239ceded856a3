// The raw SMBIOS table as the firmware hands it over: any bytes. The first byte chooses between
// the bytes as they come (mostly refused by the header checks) and the rest wrapped in a header
// of the right length with the version from the next two bytes, so the walk itself is reached in
// both the old and the byte-swapped UUID layouts. A device identifier is only ever a UUID that
// really lies in a system structure of the table.

#include "fuzz/fuzzcheck.h"
#include "services/deviceid.h"

#include <QRegularExpression>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// The 16 stored bytes behind a device identifier.
QByteArray storedUuid(const QString &id, quint16 version) {
    QString hex = id;
    hex.remove(QLatin1Char('-'));
    QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    if (version < 0x0206 || bytes.size() != 16)
        return bytes;
    // The first three fields are stored little-endian from 2.6 on.
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    QByteArray stored(16, '\0');
    for (int i = 0; i < 16; ++i)
        stored[i] = bytes[order[i]];
    return stored;
}

void checkIdentifier(const std::vector<char> &raw, const QString &id) {
    if (id.isEmpty())
        return;
    FUZZ_CHECK(raw.size() >= 8 + 24);
    const quint16 version = quint16(quint8(raw[1]) << 8 | quint8(raw[2]));
    static const QRegularExpression modern(
        QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
    static const QRegularExpression legacy(QStringLiteral("^-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                                          "[0-9A-F]{12}$"));
    FUZZ_CHECK((version >= 0x0206 ? modern : legacy).match(id).hasMatch());
    const QByteArray uuid = storedUuid(id, version);
    FUZZ_CHECK(uuid.size() == 16);
    FUZZ_CHECK(uuid != QByteArray(16, '\0') && uuid != QByteArray(16, '\xff'));
    // The UUID lies at offset 8 of a type 1 structure at least 24 bytes long.
    bool found = false;
    for (size_t at = 8; !found && at + 8 + 16 <= raw.size(); ++at) {
        found = raw[at] == 1 && quint8(raw[at + 1]) >= 24 && at + quint8(raw[at + 1]) <= raw.size() &&
                std::memcmp(raw.data() + at + 8, uuid.constData(), 16) == 0;
    }
    FUZZ_CHECK(found);
}

} // namespace

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    std::vector<char> raw;
    if (data[0] & 1) {
        if (size < 3)
            return 0;
        const size_t length = size - 3;
        raw = {0,
               char(data[1]),
               char(data[2]),
               0,
               char(length & 0xFF),
               char((length >> 8) & 0xFF),
               char((length >> 16) & 0xFF),
               char((length >> 24) & 0xFF)};
        raw.insert(raw.end(), data + 3, data + size);
    } else {
        raw.assign(data + 1, data + size);
    }
    // Exactly the table's bytes on the heap: a read past its end is caught.
    std::vector<char> exact(raw);
    const QString id = deviceIdFromSmbiosTable(QByteArray::fromRawData(exact.data(), int(exact.size())));
    checkIdentifier(raw, id);

    // The formatter over every buffer size up to what the text needs, each exactly that large.
    if (size >= 16) {
        const quint16 version = quint16(data[0] << 8 | data[1]);
        for (size_t outSize = 0; outSize <= 40; ++outSize) {
            std::vector<char> out(outSize);
            const bool ok = formatSystemUuid(data + size - 16, version, out.data(), out.size());
            FUZZ_CHECK(!ok || outSize >= 38);
            if (ok) {
                FUZZ_CHECK(std::memchr(out.data(), 0, out.size()) != nullptr);
                FUZZ_CHECK(std::strlen(out.data()) == (version >= 0x0206 ? 36u : 37u));
            }
        }
    }
    return 0;
}
