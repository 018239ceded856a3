#include "trust/keyrevocation.h"

#include "trust/minisignsignature.h"
#include "trust/releaseverifier.h"

namespace {
const QByteArray RevokeField("revoke");
const int EntryLines = 4;
} // namespace

QByteArray KeyRevocation::statement(const QByteArray &keyId) {
    return "revoke " + MinisignPublicKey::keyIdText(keyId).toLatin1() + '\n';
}

QByteArray KeyRevocation::make(const MinisignSecretKey &key, qint64 time) {
    const QByteArray id = key.publicKey().keyId();
    const QByteArray comment = "timestamp:" + QByteArray::number(time) + '\t' + RevokeField + ':' +
                               MinisignPublicKey::keyIdText(id).toLatin1();
    return key.sign(statement(id), comment)
        .toFile("revocation of release key " + MinisignPublicKey::keyIdText(id).toLatin1());
}

QList<QByteArray> KeyRevocation::entries(const QByteArray &file, QString *why) {
    if (file.size() > MaxFileSize) {
        *why = QStringLiteral("revocations file is larger than %1 bytes").arg(MaxFileSize);
        return {};
    }
    QList<QByteArray> lines;
    for (QByteArray l : file.split('\n')) {
        if (l.endsWith('\r'))
            l.chop(1);
        if (!l.isEmpty())
            lines.append(l);
    }
    if (lines.size() % EntryLines != 0 || lines.size() / EntryLines > MaxEntries) {
        *why = QStringLiteral("revocations file has %1 lines, not up to %2 signatures of 4")
                   .arg(lines.size())
                   .arg(MaxEntries);
        return {};
    }
    QList<QByteArray> result;
    for (int i = 0; i < lines.size(); i += EntryLines) {
        QByteArray entry;
        for (int j = 0; j < EntryLines; ++j)
            entry += lines.at(i + j) + '\n';
        const MinisignSignature sig = MinisignSignature::parse(entry);
        if (!sig.isValid()) {
            *why = QStringLiteral("revocation %1 is not a signature: %2")
                       .arg(i / EntryLines + 1)
                       .arg(sig.error());
            return {};
        }
        result.append(entry);
    }
    return result;
}

QString KeyRevocation::namedKey(const QByteArray &entry) {
    return QString::fromLatin1(MinisignSignature::parse(entry).commentField(RevokeField));
}

QByteArray KeyRevocation::keyIdFromText(const QString &text) {
    if (text.size() != 2 * MinisignPublicKey::KeyIdSize)
        return QByteArray();
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return QByteArray();
    }
    // Printed last byte first, as minisign prints key ids.
    const QByteArray printed = QByteArray::fromHex(text.toLatin1());
    QByteArray id;
    for (int i = printed.size() - 1; i >= 0; --i)
        id.append(printed.at(i));
    return id;
}

QByteArray KeyRevocation::revokedKey(const QByteArray &entry, const QList<MinisignPublicKey> &trusted,
                                     QString *why) {
    const MinisignSignature sig = MinisignSignature::parse(entry);
    if (!sig.isValid()) {
        *why = QStringLiteral("malformed revocation: %1").arg(sig.error());
        return QByteArray();
    }
    const QByteArray named = keyIdFromText(namedKey(entry));
    if (named.isEmpty() || named != sig.keyId()) {
        *why = QStringLiteral("revocation of %1 is not signed by that key (%2)")
                   .arg(namedKey(entry).left(40), MinisignPublicKey::keyIdText(sig.keyId()));
        return QByteArray();
    }
    MinisignPublicKey key;
    for (const MinisignPublicKey &k : trusted) {
        if (k.keyId() == named)
            key = k;
    }
    if (!key.isValid()) {
        *why = QStringLiteral("revocation of %1, a key not trusted here")
                   .arg(MinisignPublicKey::keyIdText(named));
        return QByteArray();
    }
    const QByteArray message =
        ReleaseVerifier::signedMessage(statement(named), sig.algorithm() == MinisignSignature::Prehashed);
    if (!ReleaseVerifier::signatureMatches(sig.signature(), message, key.key()) ||
        !ReleaseVerifier::signatureMatches(sig.globalSignature(), sig.signature() + sig.trustedComment(),
                                           key.key())) {
        *why = QStringLiteral("revocation of %1 does not verify").arg(MinisignPublicKey::keyIdText(named));
        return QByteArray();
    }
    return named;
}
