#include "trust/minisignsignature.h"

#include <QList>

namespace {

const QByteArray UntrustedPrefix("untrusted comment: ");
const QByteArray TrustedPrefix("trusted comment: ");
const QByteArray TimestampPrefix("timestamp:");

bool decodeBase64(const QByteArray &text, int size, QByteArray *out) {
    const QByteArray::FromBase64Result r =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!r || r.decoded.size() != size)
        return false;
    *out = r.decoded;
    return true;
}

} // namespace

MinisignSignature::MinisignSignature(const QString &error, Algorithm algorithm, const QByteArray &keyId,
                                     const QByteArray &signature, const QByteArray &trustedComment,
                                     const QByteArray &globalSignature)
    : scheme(algorithm)
    , signerId(keyId)
    , fileSignature(signature)
    , signedComment(trustedComment)
    , commentSignature(globalSignature)
    , reason(error) {}

MinisignSignature MinisignSignature::parse(const QByteArray &bytes) {
    if (bytes.isEmpty())
        return MinisignSignature(QStringLiteral("signature file is empty"));
    if (bytes.size() > MaxFileSize)
        return MinisignSignature(QStringLiteral("signature file is larger than %1 bytes").arg(MaxFileSize));
    QList<QByteArray> lines = bytes.split('\n');
    // Line ends may have gained a carriage return on the way; trailing empty lines are fine.
    for (QByteArray &l : lines) {
        if (l.endsWith('\r'))
            l.chop(1);
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.size() != 4)
        return MinisignSignature(
            QStringLiteral("signature file has %1 lines instead of 4").arg(lines.size()));
    if (!lines.at(0).startsWith(UntrustedPrefix))
        return MinisignSignature(QStringLiteral("signature file does not start with an untrusted comment"));
    QByteArray first;
    if (!decodeBase64(lines.at(1), 2 + KeyIdSize + SignatureSize, &first))
        return MinisignSignature(
            QStringLiteral("signature line is not %1 bytes of base64").arg(2 + KeyIdSize + SignatureSize));
    const QByteArray algorithm = first.left(2);
    if (algorithm != "ED" && algorithm != "Ed")
        return MinisignSignature(QStringLiteral("unknown signature algorithm"));
    if (!lines.at(2).startsWith(TrustedPrefix))
        return MinisignSignature(QStringLiteral("signature file has no trusted comment"));
    // Only the line end's carriage return is dropped; one inside the comment could not be written
    // back (toFile, fromParts) as the same signed text.
    if (lines.at(2).contains('\r'))
        return MinisignSignature(QStringLiteral("trusted comment holds a carriage return"));
    QByteArray globalSignature;
    if (!decodeBase64(lines.at(3), SignatureSize, &globalSignature))
        return MinisignSignature(
            QStringLiteral("trusted comment signature is not %1 bytes of base64").arg(SignatureSize));
    return fromParts(algorithm == "ED" ? Prehashed : Legacy, first.mid(2, KeyIdSize),
                     first.mid(2 + KeyIdSize), lines.at(2).mid(TrustedPrefix.size()), globalSignature);
}

MinisignSignature MinisignSignature::fromParts(Algorithm algorithm, const QByteArray &keyId,
                                               const QByteArray &signature, const QByteArray &trustedComment,
                                               const QByteArray &globalSignature) {
    if (keyId.size() != KeyIdSize || signature.size() != SignatureSize ||
        globalSignature.size() != SignatureSize || trustedComment.contains('\n') ||
        trustedComment.contains('\r'))
        return MinisignSignature(QStringLiteral("signature parts have the wrong form"));
    return MinisignSignature(QString(), algorithm, keyId, signature, trustedComment, globalSignature);
}

qint64 MinisignSignature::timestamp() const {
    return timestampOf(signedComment);
}

qint64 MinisignSignature::timestampOf(const QByteArray &trustedComment) {
    return leadingTimeOf(trustedComment, TimestampPrefix);
}

qint64 MinisignSignature::leadingTimeOf(const QByteArray &trustedComment, const QByteArray &prefix) {
    if (!trustedComment.startsWith(prefix))
        return -1;
    int end = trustedComment.indexOf('\t');
    if (end < 0)
        end = trustedComment.size();
    const QByteArray digits = trustedComment.mid(prefix.size(), end - prefix.size());
    // Digits only (no sign, no spaces), few enough that the value cannot overflow.
    if (digits.isEmpty() || digits.size() > 18)
        return -1;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
    }
    return digits.toLongLong();
}

QByteArray MinisignSignature::toFile(const QByteArray &untrustedComment) const {
    if (!isValid())
        return QByteArray();
    QByteArray comment = untrustedComment;
    comment.replace('\n', ' ').replace('\r', ' ');
    const QByteArray algorithm = scheme == Prehashed ? QByteArray("ED") : QByteArray("Ed");
    return UntrustedPrefix + comment + '\n' + (algorithm + signerId + fileSignature).toBase64() + '\n' +
           TrustedPrefix + signedComment + '\n' + commentSignature.toBase64() + '\n';
}

QByteArray MinisignSignature::commentField(const QByteArray &name) const {
    return commentFieldOf(signedComment, name);
}

QByteArray MinisignSignature::commentFieldOf(const QByteArray &trustedComment, const QByteArray &name) {
    const QList<QByteArray> fields = trustedComment.split('\t');
    for (int i = 1; i < fields.size(); ++i) {
        if (fields.at(i).startsWith(name + ':'))
            return fields.at(i).mid(name.size() + 1);
    }
    return QByteArray();
}
