#pragma once

#include "trust/minisignpublickey.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Checks a version file against its detached minisign signature with the publisher's public keys,
// before anything of the file is read. A release older than the newest one already accepted is
// refused, so a replayed old (still correctly signed) version file cannot roll an installation back;
// a release past the validity period its signature gives is refused as expired, so a mirror that
// keeps serving one release cannot hide the next ones for ever.
class ReleaseVerifier {
public:
    // Players' clocks may be this far ahead before a release counts as expired.
    static constexpr qint64 ClockToleranceSecs = 24 * 3600;
    static constexpr qint64 DaySecs = 24 * 3600;
    // Longest validity period a trusted comment may give ("valid_days:<n>").
    static constexpr int MaxValidDays = 3650;
    // More keys than this in one list are refused (the list is compiled in, but bounded all the same).
    static constexpr int MaxKeys = 8;

    struct Result {
        bool ok = false;
        QString reason;        // why it was refused, for the log and the failure event
        qint64 timestamp = -1; // the signed release time (also of a release refused for its age)
        qint64 expires = -1;   // end of the signed validity period; -1 for a release without one
        // Signed by a trusted, unrevoked key and intact: refused, if at all, only for its age (an
        // older release than the one accepted, or past its validity).
        bool authentic = false;
        bool expired = false;
        // A trusted key's signature of other bytes: the list and its signature belong to two
        // different publications (a cache that holds one of them longer than the other).
        bool mismatch = false;
        QByteArray keyId; // of the signature's key, when the signature could be read
    };

    // publicKeys: minisign's one-line base64 form of each key, separated by commas; empty means
    // verification is off. A list with an unusable key refuses every file.
    explicit ReleaseVerifier(const QString &publicKeys);

    bool isEnabled() const { return enabled; }
    // Every key of the list is usable.
    bool isUsable() const { return enabled && keyError.isEmpty(); }
    QString error() const { return keyError; }
    const QList<MinisignPublicKey> &publicKeys() const { return keys; }
    // The first key (invalid when the list is empty or unusable).
    MinisignPublicKey publicKey() const { return keys.value(0); }
    // The trusted key of that id; an invalid key when there is none.
    MinisignPublicKey trustedKey(const QByteArray &keyId) const;

    // Keys whose signatures are refused from now on (their revocations were seen).
    void setRevoked(const QList<QByteArray> &keyIds) { revoked = keyIds; }
    bool isRevoked(const QByteArray &keyId) const { return revoked.contains(keyId); }

    // newestAccepted: the signed time of the newest release accepted before, -1 for none. A release
    // of the same time is accepted (the same file fetched again). signedFile: the name the trusted
    // comment must give the file ("file:<name>"), so that no other file signed with the same key can
    // stand in for it; empty leaves the name unchecked. now: the time to check the validity period
    // against (unix seconds); -1 leaves it unchecked.
    Result verify(const QByteArray &data, const QByteArray &signatureFile, qint64 newestAccepted = -1,
                  const QString &signedFile = QString(), qint64 now = -1) const;

    // The list of a coming release, published ahead of its day for pre-downloads: "<version file>.coming",
    // signed beside it like the version file ("<list>.minisig", "<list>.<key id>.minisig"). Its trusted
    // comment starts with "preload:<unix seconds>" and names the list ("file:<list>"); it never starts
    // with "timestamp:", so no launcher takes it (or its time) for a release.
    static QString comingListName(const QString &versionFile) {
        return versionFile + QStringLiteral(".coming");
    }
    static constexpr const char *ComingTimePrefix = "preload:";
    // Checks a coming release's list as verify() checks a version file, with its own order: a list
    // signed before newestAccepted (of the coming lists accepted) is refused as a rollback. A comment
    // that carries a release time is refused. No validity period applies.
    Result verifyComing(const QByteArray &data, const QByteArray &signatureFile, qint64 newestAccepted,
                        const QString &signedFile) const;

    // The end of the validity period a trusted comment gives: its release time plus "valid_days:<n>"
    // days. -1 without such a field; false for a field that is not 1..MaxValidDays or a comment
    // without a release time.
    static bool validUntil(const QByteArray &trustedComment, qint64 *expires);
    // A release valid until `expires` is past it at `now`, beyond the clock tolerance.
    static bool isPastValidity(qint64 expires, qint64 now) {
        return expires >= 0 && now > expires + ClockToleranceSecs;
    }

    // The name of a version file's signature: "<version file>.minisig" for the publisher's first key,
    // which every launcher fetches; "<version file>.<key id>.minisig" (16 hexadecimal digits) for the others.
    static QString signatureName(const QString &versionFile, const QByteArray &keyId, bool first);
    // The signatures of signedFile (a version file or a coming list) to try in turn: the default one,
    // then, with more than one key, those of every trusted key not revoked but defaultSigner (the
    // default signature's key, when known): the publisher's first key need not be one of ours.
    QStringList signatureNames(const QString &signedFile, const QByteArray &defaultSigner) const;
    // The same names for the copies named by the digest of the list they sign:
    // "<file>.<64 hex digits of BLAKE2b-256>.minisig" and "<file>.<digest>.<key id>.minisig". No cache
    // can serve one of them beside another list than its own.
    static QString digestSignatureName(const QString &signedFile, const QByteArray &list,
                                       const QByteArray &keyId, bool first);
    QStringList digestSignatureNames(const QString &signedFile, const QByteArray &list,
                                     const QByteArray &defaultSigner) const;
    // 64 lower-case hexadecimal digits of the BLAKE2b-256 of data.
    static QString listDigest(const QByteArray &data);

    // The message that is signed for data: the data itself (legacy) or its BLAKE2b-512 digest.
    static QByteArray signedMessage(const QByteArray &data, bool prehashed);
    // Ed25519 check of a detached signature of message with a 32-byte public key.
    static bool signatureMatches(const QByteArray &signature, const QByteArray &message,
                                 const QByteArray &key);

private:
    Result check(const QByteArray &data, const QByteArray &signatureFile, qint64 newestAccepted,
                 const QString &signedFile, qint64 now, bool coming) const;

    bool enabled = false;
    QList<MinisignPublicKey> keys;
    QString keyError;
    QList<QByteArray> revoked;
};
