#include "trust/minisignpublickey.h"

#include <QList>

namespace {
const QByteArray Algorithm("Ed");
const QByteArray UntrustedPrefix("untrusted comment:");
} // namespace

MinisignPublicKey::MinisignPublicKey(const QString &error, const QByteArray &keyId, const QByteArray &key)
    : id(keyId)
    , material(key)
    , reason(error) {}

MinisignPublicKey MinisignPublicKey::parse(const QByteArray &text) {
    if (text.size() > MaxTextSize)
        return MinisignPublicKey(QStringLiteral("public key text is larger than %1 bytes").arg(MaxTextSize));
    const QByteArray raw = decodeKeyLine(text);
    if (raw.isEmpty())
        return MinisignPublicKey(QStringLiteral("public key is empty or not base64"));
    if (raw.size() != Algorithm.size() + KeyIdSize + KeySize)
        return MinisignPublicKey(QStringLiteral("public key has %1 bytes instead of %2")
                                     .arg(raw.size())
                                     .arg(Algorithm.size() + KeyIdSize + KeySize));
    if (!raw.startsWith(Algorithm))
        return MinisignPublicKey(QStringLiteral("public key is not an Ed25519 key"));
    return fromRaw(raw.mid(Algorithm.size(), KeyIdSize), raw.mid(Algorithm.size() + KeyIdSize));
}

QByteArray MinisignPublicKey::decodeKeyLine(const QByteArray &text) {
    for (const QByteArray &l : text.split('\n')) {
        const QByteArray line = l.trimmed();
        if (line.isEmpty() || line.startsWith(UntrustedPrefix))
            continue;
        const QByteArray::FromBase64Result decoded =
            QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
        return decoded ? *decoded : QByteArray();
    }
    return QByteArray();
}

MinisignPublicKey MinisignPublicKey::fromRaw(const QByteArray &keyId, const QByteArray &key) {
    if (keyId.size() != KeyIdSize || key.size() != KeySize)
        return MinisignPublicKey(QStringLiteral("key material has the wrong size"));
    return MinisignPublicKey(QString(), keyId, key);
}

QByteArray MinisignPublicKey::toBase64() const {
    return isValid() ? (Algorithm + id + material).toBase64() : QByteArray();
}

QString MinisignPublicKey::keyIdText(const QByteArray &keyId) {
    QByteArray reversed;
    for (int i = keyId.size() - 1; i >= 0; --i)
        reversed.append(keyId.at(i));
    return QString::fromLatin1(reversed.toHex().toUpper());
}
