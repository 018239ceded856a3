#include "trust/minisignsecretkey.h"

#include "trust/releaseverifier.h"

#include <QtEndian>

#include <sodium.h>

namespace {

// Layout of the decoded key: algorithm, kdf algorithm, checksum algorithm, kdf salt, kdf opslimit,
// kdf memlimit (both little-endian 64-bit), then key id, secret key and checksum (encrypted together).
constexpr int SaltSize = 32;
constexpr int KeyIdSize = 8;
constexpr int SecretSize = 64;
constexpr int ChecksumSize = 32;
constexpr int HeaderSize = 2 + 2 + 2 + SaltSize + 8 + 8;
constexpr int KeyNumSize = KeyIdSize + SecretSize + ChecksumSize;

const unsigned char *bytes(const QByteArray &a) {
    return reinterpret_cast<const unsigned char *>(a.constData());
}

QByteArray checksum(const QByteArray &algorithm, const QByteArray &keyId, const QByteArray &secret) {
    QByteArray out(ChecksumSize, '\0');
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, ChecksumSize);
    crypto_generichash_update(&state, bytes(algorithm), static_cast<unsigned long long>(algorithm.size()));
    crypto_generichash_update(&state, bytes(keyId), static_cast<unsigned long long>(keyId.size()));
    crypto_generichash_update(&state, bytes(secret), static_cast<unsigned long long>(secret.size()));
    crypto_generichash_final(&state, reinterpret_cast<unsigned char *>(out.data()), ChecksumSize);
    return out;
}

} // namespace

MinisignSecretKey::MinisignSecretKey(const QString &error, const QByteArray &keyId, const QByteArray &secret)
    : id(keyId)
    , signingKey(secret)
    , reason(error) {}

MinisignSecretKey MinisignSecretKey::parse(const QByteArray &text, const QByteArray &password) {
    if (sodium_init() < 0)
        return MinisignSecretKey(QStringLiteral("cryptography library failed to start"));
    if (text.size() > MaxTextSize)
        return MinisignSecretKey(QStringLiteral("secret key file is larger than %1 bytes").arg(MaxTextSize));
    const QByteArray raw = MinisignPublicKey::decodeKeyLine(text);
    if (raw.size() != HeaderSize + KeyNumSize)
        return MinisignSecretKey(QStringLiteral("not a minisign secret key"));
    const QByteArray algorithm = raw.left(2);
    const QByteArray kdf = raw.mid(2, 2);
    if (algorithm != "Ed" || raw.mid(4, 2) != "B2")
        return MinisignSecretKey(QStringLiteral("secret key uses an unknown algorithm"));
    QByteArray keyNum = raw.mid(HeaderSize);
    if (kdf == "Sc") {
        if (password.isEmpty())
            return MinisignSecretKey(QStringLiteral("secret key is encrypted and no password was given"));
        const QByteArray salt = raw.mid(6, SaltSize);
        const quint64 opsLimit = qFromLittleEndian<quint64>(raw.constData() + 6 + SaltSize);
        const quint64 memLimit = qFromLittleEndian<quint64>(raw.constData() + 6 + SaltSize + 8);
        if (memLimit > quint64(MaxKdfMemory) || opsLimit > (Q_UINT64_C(1) << 32))
            return MinisignSecretKey(
                QStringLiteral("secret key asks for more key derivation work than allowed"));
        QByteArray stream(KeyNumSize, '\0');
        if (crypto_pwhash_scryptsalsa208sha256(
                reinterpret_cast<unsigned char *>(stream.data()), KeyNumSize, password.constData(),
                static_cast<unsigned long long>(password.size()), bytes(salt),
                static_cast<unsigned long long>(opsLimit), static_cast<size_t>(memLimit)) != 0)
            return MinisignSecretKey(QStringLiteral("key derivation failed (out of memory?)"));
        for (int i = 0; i < KeyNumSize; ++i)
            keyNum[i] = char(keyNum.at(i) ^ stream.at(i));
        sodium_memzero(stream.data(), static_cast<size_t>(stream.size()));
    } else if (kdf != QByteArray(2, '\0')) {
        return MinisignSecretKey(QStringLiteral("secret key uses an unknown key derivation"));
    }
    const QByteArray keyId = keyNum.left(KeyIdSize);
    const QByteArray secret = keyNum.mid(KeyIdSize, SecretSize);
    // minisign leaves the checksum of a password-less key zero; the key's own public half is checked
    // against its seed in every case.
    const QByteArray stored = keyNum.mid(KeyIdSize + SecretSize);
    const bool checksumOk = checksum(algorithm, keyId, secret) == stored ||
                            (kdf != "Sc" && stored == QByteArray(ChecksumSize, '\0'));
    QByteArray derivedPublic(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray derivedSecret(crypto_sign_SECRETKEYBYTES, '\0');
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(derivedPublic.data()),
                             reinterpret_cast<unsigned char *>(derivedSecret.data()), bytes(secret));
    sodium_memzero(derivedSecret.data(), static_cast<size_t>(derivedSecret.size()));
    if (!checksumOk || derivedPublic != secret.mid(SecretSize - crypto_sign_PUBLICKEYBYTES))
        return MinisignSecretKey(
            kdf == "Sc" ? QStringLiteral("wrong password for the secret key, or the key is damaged")
                        : QStringLiteral("secret key is damaged"));
    return MinisignSecretKey(QString(), keyId, secret);
}

MinisignPublicKey MinisignSecretKey::publicKey() const {
    return MinisignPublicKey::fromRaw(id, signingKey.mid(SecretSize - MinisignPublicKey::KeySize));
}

MinisignSignature MinisignSecretKey::sign(const QByteArray &data, const QByteArray &trustedComment,
                                          bool prehashed) const {
    if (!isValid())
        return MinisignSignature();
    auto detached = [this](const QByteArray &message) {
        QByteArray sig(MinisignSignature::SignatureSize, '\0');
        crypto_sign_detached(reinterpret_cast<unsigned char *>(sig.data()), nullptr, bytes(message),
                             static_cast<unsigned long long>(message.size()), bytes(signingKey));
        return sig;
    };
    const QByteArray signature = detached(ReleaseVerifier::signedMessage(data, prehashed));
    const QByteArray global = detached(signature + trustedComment);
    return MinisignSignature::fromParts(prehashed ? MinisignSignature::Prehashed : MinisignSignature::Legacy,
                                        id, signature, trustedComment, global);
}
