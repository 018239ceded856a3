#pragma once

#include <QByteArray>
#include <QString>

// A detached signature in minisign's file format, four lines:
//   untrusted comment: <text>
//   base64(<algorithm "Ed" or "ED"> <key id, 8 bytes> <Ed25519 signature, 64 bytes>)
//   trusted comment: <text>
//   base64(<Ed25519 signature of the signature bytes followed by the trusted comment>)
// "Ed" signs the file itself (legacy); "ED" signs its BLAKE2b-512 digest (what minisign makes by default).
// Parsing only checks the form; ReleaseVerifier checks the signatures.
class MinisignSignature {
public:
    enum Algorithm { Legacy, Prehashed };

    static constexpr int KeyIdSize = 8;
    static constexpr int SignatureSize = 64;
    // Signature files are a few hundred bytes; minisign caps its comments well below this.
    static constexpr int MaxFileSize = 16 * 1024;

    // An invalid signature ("no signature").
    MinisignSignature() = default;

    // Parses a whole signature file. Never reads past MaxFileSize; a refused file gives an
    // invalid value whose error() says why.
    static MinisignSignature parse(const QByteArray &bytes);
    // A signature from its parts (algorithm, key id, signature, trusted comment, global signature).
    static MinisignSignature fromParts(Algorithm algorithm, const QByteArray &keyId,
                                       const QByteArray &signature, const QByteArray &trustedComment,
                                       const QByteArray &globalSignature);

    bool isValid() const { return reason.isEmpty(); }
    QString error() const { return reason; }

    Algorithm algorithm() const { return scheme; }
    QByteArray keyId() const { return signerId; }
    QByteArray signature() const { return fileSignature; }
    QByteArray trustedComment() const { return signedComment; }
    QByteArray globalSignature() const { return commentSignature; }
    // The release time of a trusted comment that starts with "timestamp:<unix seconds>" (ended by a tab
    // or the end of the comment); -1 without one.
    qint64 timestamp() const;
    static qint64 timestampOf(const QByteArray &trustedComment);
    // The same for a comment that starts with `prefix` ("preload:" for a coming release's list).
    static qint64 leadingTimeOf(const QByteArray &trustedComment, const QByteArray &prefix);
    // The value of the trusted comment's "<name>:" field after its first tab ("file" names the signed
    // file); null when the comment has no such field.
    QByteArray commentField(const QByteArray &name) const;
    static QByteArray commentFieldOf(const QByteArray &trustedComment, const QByteArray &name);

    // The file text, with the given untrusted comment (one line).
    QByteArray toFile(const QByteArray &untrustedComment) const;

private:
    // A refused value with its reason, or (error empty) a valid one.
    explicit MinisignSignature(const QString &error, Algorithm algorithm = Prehashed,
                               const QByteArray &keyId = QByteArray(),
                               const QByteArray &signature = QByteArray(),
                               const QByteArray &trustedComment = QByteArray(),
                               const QByteArray &globalSignature = QByteArray());

    Algorithm scheme = Prehashed;
    QByteArray signerId;
    QByteArray fileSignature;
    QByteArray signedComment;
    QByteArray commentSignature;
    QString reason = QStringLiteral("no signature");
};
