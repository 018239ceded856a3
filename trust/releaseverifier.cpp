#include "trust/releaseverifier.h"

#include "platform/filenamerules.h"
#include "trust/minisignsignature.h"

#include <sodium.h>

namespace {

bool sodiumReady() {
    // Safe to call more than once and from any thread; -1 only when the library cannot start.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

ReleaseVerifier::Result refused(const QString &reason) {
    ReleaseVerifier::Result r;
    r.reason = reason;
    return r;
}

bool ed25519Verify(const QByteArray &signature, const QByteArray &message, const QByteArray &key) {
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       static_cast<unsigned long long>(message.size()),
                                       reinterpret_cast<const unsigned char *>(key.constData())) == 0;
}

} // namespace

ReleaseVerifier::ReleaseVerifier(const QString &publicKey)
    : enabled(!publicKey.isEmpty())
    , publisherKey(MinisignPublicKey::parse(publicKey.toLatin1())) {}

QByteArray ReleaseVerifier::signedMessage(const QByteArray &data, bool prehashed) {
    if (!prehashed)
        return data;
    QByteArray digest(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash(reinterpret_cast<unsigned char *>(digest.data()), static_cast<size_t>(digest.size()),
                       reinterpret_cast<const unsigned char *>(data.constData()),
                       static_cast<unsigned long long>(data.size()), nullptr, 0);
    return digest;
}

ReleaseVerifier::Result ReleaseVerifier::verify(const QByteArray &data, const QByteArray &signatureFile,
                                                qint64 newestAccepted, const QString &signedFile) const {
    if (!publisherKey.isValid())
        return refused(QStringLiteral("built-in public key is unusable: %1").arg(publisherKey.error()));
    if (!sodiumReady())
        return refused(QStringLiteral("cryptography library failed to start"));
    const MinisignSignature sig = MinisignSignature::parse(signatureFile);
    if (!sig.isValid())
        return refused(QStringLiteral("malformed signature: %1").arg(sig.error()));
    if (sig.keyId() != publisherKey.keyId()) {
        return refused(QStringLiteral("signed by another key (%1, expected %2)")
                           .arg(MinisignPublicKey::keyIdText(sig.keyId()),
                                MinisignPublicKey::keyIdText(publisherKey.keyId())));
    }
    const QByteArray message = signedMessage(data, sig.algorithm() == MinisignSignature::Prehashed);
    if (!ed25519Verify(sig.signature(), message, publisherKey.key()))
        return refused(QStringLiteral("signature does not match the version file"));
    if (!ed25519Verify(sig.globalSignature(), sig.signature() + sig.trustedComment(), publisherKey.key()))
        return refused(QStringLiteral("trusted comment does not match its signature"));
    const qint64 time = sig.timestamp();
    if (time < 0)
        return refused(QStringLiteral("trusted comment carries no release time"));
    if (!signedFile.isEmpty()) {
        const QByteArray named = sig.commentField("file");
        if (named.isNull())
            return refused(QStringLiteral("trusted comment names no file (expected %1)").arg(signedFile));
        if (named != signedFile.toUtf8()) {
            return refused(QStringLiteral("signed as %1, not %2")
                               .arg(FileNameRules::printable(QString::fromUtf8(named).left(80)), signedFile));
        }
    }
    if (time < newestAccepted) {
        return refused(
            QStringLiteral("release of %1 is older than the accepted release of %2 (rollback refused)")
                .arg(time)
                .arg(newestAccepted));
    }
    Result r;
    r.ok = true;
    r.timestamp = time;
    return r;
}
