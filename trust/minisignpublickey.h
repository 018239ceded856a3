#pragma once

#include <QByteArray>
#include <QString>

// A minisign Ed25519 public key: the one-line base64 form ("RW..."), or the text of a ".pub" file
// holding that line below its "untrusted comment:" line.
class MinisignPublicKey {
public:
    static constexpr int KeyIdSize = 8;
    static constexpr int KeySize = 32;
    // Longer input is refused before it is looked at.
    static constexpr int MaxTextSize = 4096;

    // An invalid key ("no key").
    MinisignPublicKey() = default;

    static MinisignPublicKey parse(const QByteArray &text);
    // The public key of raw key material, for a signer that holds the secret key.
    static MinisignPublicKey fromRaw(const QByteArray &keyId, const QByteArray &key);

    bool isValid() const { return reason.isEmpty(); }
    // Why the text is not a key; empty for a valid one.
    QString error() const { return reason; }
    QByteArray keyId() const { return id; }
    QByteArray key() const { return material; }
    // The one-line base64 form.
    QByteArray toBase64() const;

    // The key line of a key file's text (the first line that is neither empty nor the "untrusted
    // comment:"), decoded from base64; empty when there is none or it is not base64.
    static QByteArray decodeKeyLine(const QByteArray &text);

    // Key id as minisign prints it: 16 upper-case hexadecimal digits, last byte first.
    static QString keyIdText(const QByteArray &keyId);

private:
    // A refused value with its reason, or (error empty) a valid one.
    explicit MinisignPublicKey(const QString &error, const QByteArray &keyId = QByteArray(),
                               const QByteArray &key = QByteArray());

    QByteArray id;
    QByteArray material;
    QString reason = QStringLiteral("no key");
};
