#include "lan/lanmessage.h"

#include <QtEndian>

namespace {

const QByteArray magic = QByteArrayLiteral("KVLN");
const char version = 1;
const int headerSize = 4 + 1 + 1 + LanMessage::nonceSize;

} // namespace

QByteArray LanMessage::encode() const {
    if (nonce.size() != nonceSize)
        return QByteArray();
    QByteArray out = magic;
    out.append(version);
    out.append(char(kind));
    out.append(nonce);
    if (kind == Kind::Search) {
        if (release.size() < minReleaseSize || release.size() > maxReleaseSize)
            return QByteArray();
        out.append(char(release.size()));
        out.append(release);
    } else {
        if (port == 0)
            return QByteArray();
        out.append(char(port >> 8));
        out.append(char(port & 0xff));
    }
    return out;
}

Result<LanMessage::Error> LanMessage::decode(const QByteArray &bytes, LanMessage *out) {
    if (bytes.size() > maxSize)
        return {Error::Oversized, QStringLiteral("%1 bytes, more than %2").arg(bytes.size()).arg(maxSize)};
    if (bytes.size() < headerSize || !bytes.startsWith(magic))
        return {Error::Malformed, QStringLiteral("no header (%1 bytes)").arg(bytes.size())};
    if (bytes.at(4) != version)
        return {Error::Malformed, QStringLiteral("version %1").arg(int(quint8(bytes.at(4))))};
    LanMessage m;
    m.nonce = bytes.mid(6, nonceSize);
    const char kind = bytes.at(5);
    if (kind == char(Kind::Search)) {
        m.kind = Kind::Search;
        const int length = bytes.size() > headerSize ? quint8(bytes.at(headerSize)) : -1;
        if (length < minReleaseSize || length > maxReleaseSize || bytes.size() != headerSize + 1 + length)
            return {Error::Malformed,
                    QStringLiteral("search of %1 bytes with a release of %2").arg(bytes.size()).arg(length)};
        m.release = bytes.mid(headerSize + 1);
    } else if (kind == char(Kind::Answer)) {
        m.kind = Kind::Answer;
        if (bytes.size() != headerSize + 2)
            return {Error::Malformed, QStringLiteral("answer of %1 bytes").arg(bytes.size())};
        m.port = qFromBigEndian<quint16>(bytes.constData() + headerSize);
        if (m.port == 0)
            return {Error::Malformed, QStringLiteral("answer with port 0")};
    } else {
        return {Error::Malformed, QStringLiteral("kind %1").arg(int(quint8(kind)))};
    }
    if (out)
        *out = m;
    return {};
}
