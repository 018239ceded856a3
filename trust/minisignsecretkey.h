#pragma once

#include "trust/minisignpublickey.h"
#include "trust/minisignsignature.h"

#include <QByteArray>
#include <QString>

// A minisign secret key file ("untrusted comment:" line, then one base64 line), password-less or
// encrypted with a password through scrypt, as `minisign -G` writes it. Used to sign releases.
class MinisignSecretKey {
public:
    static constexpr int MaxTextSize = 4096;
    // minisign asks for 1 GiB; a damaged or hostile file must not make us ask for more than this.
    static constexpr qint64 MaxKdfMemory = Q_INT64_C(2) << 30;

    // An invalid key ("no key").
    MinisignSecretKey() = default;

    // password: used when the key is encrypted, ignored otherwise.
    static MinisignSecretKey parse(const QByteArray &text, const QByteArray &password = QByteArray());

    bool isValid() const { return reason.isEmpty(); }
    QString error() const { return reason; }
    MinisignPublicKey publicKey() const;

    // Signs data: its BLAKE2b-512 digest (what minisign does by default) or, with prehashed false,
    // the data itself (minisign's legacy form). The trusted comment must be one line.
    MinisignSignature sign(const QByteArray &data, const QByteArray &trustedComment,
                           bool prehashed = true) const;

private:
    // A refused value with its reason, or (error empty) a valid one.
    explicit MinisignSecretKey(const QString &error, const QByteArray &keyId = QByteArray(),
                               const QByteArray &secret = QByteArray());

    QByteArray id;
    QByteArray signingKey; // 64 bytes: seed followed by the public key
    QString reason = QStringLiteral("no key");
};
