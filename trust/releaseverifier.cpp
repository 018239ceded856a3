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

} // namespace

ReleaseVerifier::ReleaseVerifier(const QString &publicKeys)
    : enabled(!publicKeys.trimmed().isEmpty()) {
    if (!enabled)
        return;
    const QStringList texts = publicKeys.split(QLatin1Char(','));
    if (texts.size() > MaxKeys) {
        keyError = QStringLiteral("more than %1 public keys").arg(MaxKeys);
        return;
    }
    for (int i = 0; i < texts.size(); ++i) {
        const MinisignPublicKey key = MinisignPublicKey::parse(texts.at(i).trimmed().toLatin1());
        if (!key.isValid()) {
            keyError = texts.size() == 1
                           ? key.error()
                           : QStringLiteral("key %1 of %2: %3").arg(i + 1).arg(texts.size()).arg(key.error());
            keys.clear();
            return;
        }
        keys.append(key);
    }
}

MinisignPublicKey ReleaseVerifier::trustedKey(const QByteArray &keyId) const {
    for (const MinisignPublicKey &k : keys) {
        if (k.keyId() == keyId)
            return k;
    }
    return MinisignPublicKey();
}

QString ReleaseVerifier::signatureName(const QString &versionFile, const QByteArray &keyId, bool first) {
    if (first)
        return versionFile + QStringLiteral(".minisig");
    return versionFile + QLatin1Char('.') + MinisignPublicKey::keyIdText(keyId) + QStringLiteral(".minisig");
}

QStringList ReleaseVerifier::signatureNames(const QString &signedFile,
                                            const QByteArray &defaultSigner) const {
    QStringList names{signatureName(signedFile, QByteArray(), true)};
    // With one key there is none to fall back on.
    if (keys.size() < 2)
        return names;
    for (const MinisignPublicKey &key : keys) {
        if (key.keyId() != defaultSigner && !isRevoked(key.keyId()))
            names << signatureName(signedFile, key.keyId(), false);
    }
    return names;
}

QString ReleaseVerifier::listDigest(const QByteArray &data) {
    QByteArray digest(32, '\0');
    crypto_generichash(reinterpret_cast<unsigned char *>(digest.data()), static_cast<size_t>(digest.size()),
                       reinterpret_cast<const unsigned char *>(data.constData()),
                       static_cast<unsigned long long>(data.size()), nullptr, 0);
    return QString::fromLatin1(digest.toHex());
}

QString ReleaseVerifier::digestSignatureName(const QString &signedFile, const QByteArray &list,
                                             const QByteArray &keyId, bool first) {
    return signatureName(signedFile + QLatin1Char('.') + listDigest(list), keyId, first);
}

QStringList ReleaseVerifier::digestSignatureNames(const QString &signedFile, const QByteArray &list,
                                                  const QByteArray &defaultSigner) const {
    return signatureNames(signedFile + QLatin1Char('.') + listDigest(list), defaultSigner);
}

QByteArray ReleaseVerifier::signedMessage(const QByteArray &data, bool prehashed) {
    if (!prehashed)
        return data;
    QByteArray digest(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash(reinterpret_cast<unsigned char *>(digest.data()), static_cast<size_t>(digest.size()),
                       reinterpret_cast<const unsigned char *>(data.constData()),
                       static_cast<unsigned long long>(data.size()), nullptr, 0);
    return digest;
}

bool ReleaseVerifier::signatureMatches(const QByteArray &signature, const QByteArray &message,
                                       const QByteArray &key) {
    if (!sodiumReady() || signature.size() != crypto_sign_BYTES || key.size() != crypto_sign_PUBLICKEYBYTES)
        return false;
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       static_cast<unsigned long long>(message.size()),
                                       reinterpret_cast<const unsigned char *>(key.constData())) == 0;
}

bool ReleaseVerifier::validUntil(const QByteArray &trustedComment, qint64 *expires) {
    *expires = -1;
    const QByteArray days = MinisignSignature::commentFieldOf(trustedComment, "valid_days");
    if (days.isNull())
        return true;
    const qint64 time = MinisignSignature::timestampOf(trustedComment);
    if (time < 0 || days.isEmpty() || days.size() > 4)
        return false;
    for (char c : days) {
        if (c < '0' || c > '9')
            return false;
    }
    const int n = days.toInt();
    if (n < 1 || n > MaxValidDays)
        return false;
    *expires = time + n * DaySecs;
    return true;
}

ReleaseVerifier::Result ReleaseVerifier::verify(const QByteArray &data, const QByteArray &signatureFile,
                                                qint64 newestAccepted, const QString &signedFile,
                                                qint64 now) const {
    return check(data, signatureFile, newestAccepted, signedFile, now, false);
}

ReleaseVerifier::Result ReleaseVerifier::verifyComing(const QByteArray &data, const QByteArray &signatureFile,
                                                      qint64 newestAccepted,
                                                      const QString &signedFile) const {
    return check(data, signatureFile, newestAccepted, signedFile, -1, true);
}

ReleaseVerifier::Result ReleaseVerifier::check(const QByteArray &data, const QByteArray &signatureFile,
                                               qint64 newestAccepted, const QString &signedFile, qint64 now,
                                               bool coming) const {
    if (!isUsable())
        return refused(QStringLiteral("built-in public key is unusable: %1").arg(keyError));
    if (!sodiumReady())
        return refused(QStringLiteral("cryptography library failed to start"));
    const MinisignSignature sig = MinisignSignature::parse(signatureFile);
    if (!sig.isValid())
        return refused(QStringLiteral("malformed signature: %1").arg(sig.error()));
    const MinisignPublicKey key = trustedKey(sig.keyId());
    if (!key.isValid()) {
        QStringList expected;
        for (const MinisignPublicKey &k : keys)
            expected << MinisignPublicKey::keyIdText(k.keyId());
        Result r = refused(
            QStringLiteral("signed by another key (%1, expected %2)")
                .arg(MinisignPublicKey::keyIdText(sig.keyId()), expected.join(QLatin1String(" or "))));
        r.keyId = sig.keyId();
        return r;
    }
    if (isRevoked(key.keyId())) {
        Result r = refused(
            QStringLiteral("signed by the revoked key %1").arg(MinisignPublicKey::keyIdText(key.keyId())));
        r.keyId = sig.keyId();
        return r;
    }
    const QByteArray message = signedMessage(data, sig.algorithm() == MinisignSignature::Prehashed);
    if (!signatureMatches(sig.signature(), message, key.key())) {
        Result r = refused(QStringLiteral("signature does not match the version file"));
        r.mismatch = true;
        return r;
    }
    if (!signatureMatches(sig.globalSignature(), sig.signature() + sig.trustedComment(), key.key()))
        return refused(QStringLiteral("trusted comment does not match its signature"));
    if (coming && sig.timestamp() >= 0)
        return refused(QStringLiteral("a release's signature, not a coming release's"));
    const qint64 time =
        coming ? MinisignSignature::leadingTimeOf(sig.trustedComment(), ComingTimePrefix) : sig.timestamp();
    if (time < 0)
        return refused(coming ? QStringLiteral("trusted comment carries no coming release time")
                              : QStringLiteral("trusted comment carries no release time"));
    if (!signedFile.isEmpty()) {
        const QByteArray named = sig.commentField("file");
        if (named.isNull())
            return refused(QStringLiteral("trusted comment names no file (expected %1)").arg(signedFile));
        if (named != signedFile.toUtf8()) {
            return refused(QStringLiteral("signed as %1, not %2")
                               .arg(FileNameRules::printable(QString::fromUtf8(named).left(80)), signedFile));
        }
    }
    qint64 expires = -1;
    if (!coming && !validUntil(sig.trustedComment(), &expires))
        return refused(QStringLiteral("trusted comment gives an unreadable validity period"));
    Result r;
    r.authentic = true;
    r.timestamp = time;
    r.expires = expires;
    r.keyId = sig.keyId();
    if (time < newestAccepted) {
        r.reason = QStringLiteral("%1 of %2 is older than the accepted %1 of %3 (rollback refused)")
                       .arg(coming ? QStringLiteral("coming release list") : QStringLiteral("release"))
                       .arg(time)
                       .arg(newestAccepted);
        return r;
    }
    if (now >= 0 && isPastValidity(expires, now)) {
        r.expired = true;
        r.reason = QStringLiteral("release of %1 expired at %2 (now %3)").arg(time).arg(expires).arg(now);
        return r;
    }
    r.ok = true;
    return r;
}
