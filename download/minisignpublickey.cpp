#include "download/minisignpublickey.h"

#include <QList>

namespace {
const QByteArray Algorithm("Ed");
const QByteArray UntrustedPrefix("untrusted comment:");
} // namespace

MinisignPublicKey MinisignPublicKey::parse(const QByteArray &text) {
    MinisignPublicKey k;
    if (text.size() > MaxTextSize) {
        k.m_error = QStringLiteral("public key text is larger than %1 bytes").arg(MaxTextSize);
        return k;
    }
    // The key is the first line that is not the comment.
    QByteArray line;
    for (QByteArray l : text.split('\n')) {
        l = l.trimmed();
        if (l.isEmpty() || l.startsWith(UntrustedPrefix))
            continue;
        line = l;
        break;
    }
    if (line.isEmpty()) {
        k.m_error = QStringLiteral("public key is empty");
        return k;
    }
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        k.m_error = QStringLiteral("public key is not base64");
        return k;
    }
    const QByteArray raw = *decoded;
    if (raw.size() != Algorithm.size() + KeyIdSize + KeySize) {
        k.m_error = QStringLiteral("public key has %1 bytes instead of %2")
                        .arg(raw.size())
                        .arg(Algorithm.size() + KeyIdSize + KeySize);
        return k;
    }
    if (!raw.startsWith(Algorithm)) {
        k.m_error = QStringLiteral("public key is not an Ed25519 key");
        return k;
    }
    k.m_keyId = raw.mid(Algorithm.size(), KeyIdSize);
    k.m_key = raw.mid(Algorithm.size() + KeyIdSize);
    k.m_error.clear();
    return k;
}

MinisignPublicKey MinisignPublicKey::fromRaw(const QByteArray &keyId, const QByteArray &key) {
    MinisignPublicKey k;
    if (keyId.size() != KeyIdSize || key.size() != KeySize) {
        k.m_error = QStringLiteral("key material has the wrong size");
        return k;
    }
    k.m_keyId = keyId;
    k.m_key = key;
    k.m_error.clear();
    return k;
}

QByteArray MinisignPublicKey::toBase64() const {
    return isValid() ? (Algorithm + m_keyId + m_key).toBase64() : QByteArray();
}

QString MinisignPublicKey::keyIdText(const QByteArray &keyId) {
    QByteArray reversed;
    for (int i = keyId.size() - 1; i >= 0; --i)
        reversed.append(keyId.at(i));
    return QString::fromLatin1(reversed.toHex().toUpper());
}
