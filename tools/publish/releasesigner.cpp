#include "tools/publish/releasesigner.h"

#include "platform/platform.h"
#include "tools/publish/staging.h"
#include "trust/keyrevocation.h"
#include "trust/minisignsignature.h"
#include "trust/releaseverifier.h"
#include "trust/versiontable.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

namespace {

const QString SignatureSuffix = QStringLiteral(".minisig");
// Key-id signatures looked at in a folder; a publisher uses a handful of keys at most.
constexpr int MaxSignatures = 16;

// "<file>.<key id>.minisig", the key id as keyIdText() writes it.
bool isKeyIdSignature(const QString &name, const QString &file) {
    constexpr int IdDigits = 2 * MinisignSignature::KeyIdSize;
    if (name.size() != file.size() + 1 + IdDigits + SignatureSuffix.size() || !name.startsWith(file) ||
        name.at(file.size()) != QLatin1Char('.') || !name.endsWith(SignatureSuffix))
        return false;
    for (const QChar c : name.midRef(file.size() + 1, IdDigits)) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    }
    return true;
}

QByteArray readSignature(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(MinisignSignature::MaxFileSize + 1) : QByteArray();
}

} // namespace

ReleaseSigner::ReleaseSigner(const QString &cdnDir, const QString &versionFileName, Kind kind)
    : cdn(cdnDir)
    , versionFile(versionFileName)
    , kind(kind) {}

ReleaseSigner ReleaseSigner::forFile(const QString &fileName, Kind fileKind) const {
    ReleaseSigner other(cdn, fileName, fileKind);
    other.keys = keys;
    other.revoking = revoking;
    return other;
}

Result<ReleaseSigner::Error> ReleaseSigner::addKey(const QString &secretKeyPath) {
    QFile f(secretKeyPath);
    if (!f.open(QIODevice::ReadOnly))
        return {Error::CannotRead,
                QStringLiteral("cannot read the secret key %1: %2").arg(secretKeyPath, f.errorString())};
    const MinisignSecretKey key = MinisignSecretKey::parse(f.read(MinisignSecretKey::MaxTextSize + 1),
                                                           qgetenv("KV_PUBLISH_KEY_PASSWORD"));
    if (!key.isValid())
        return {Error::Refused, QStringLiteral("secret key %1: %2").arg(secretKeyPath, key.error())};
    for (const MinisignSecretKey &k : qAsConst(keys)) {
        if (k.publicKey().keyId() == key.publicKey().keyId())
            return {Error::Refused,
                    QStringLiteral("secret key %1: key %2 is given twice")
                        .arg(secretKeyPath, MinisignPublicKey::keyIdText(key.publicKey().keyId()))};
    }
    keys.append(key);
    return {};
}

Result<ReleaseSigner::Error> ReleaseSigner::revoke(const QString &publicKeyPath) {
    QFile f(publicKeyPath);
    if (!f.open(QIODevice::ReadOnly))
        return {Error::CannotRead,
                QStringLiteral("cannot read the public key %1: %2").arg(publicKeyPath, f.errorString())};
    const MinisignPublicKey key = MinisignPublicKey::parse(f.read(MinisignPublicKey::MaxTextSize + 1));
    if (!key.isValid())
        return {Error::Refused, QStringLiteral("public key %1: %2").arg(publicKeyPath, key.error())};
    for (const MinisignSecretKey &k : qAsConst(keys)) {
        if (k.publicKey().keyId() == key.keyId()) {
            if (!revoking.contains(key.keyId()))
                revoking.append(key.keyId());
            return {};
        }
    }
    return {Error::Refused,
            QStringLiteral("a revocation must be signed by the key it revokes: give the secret key of "
                           "%1 (%2) with --sign-key")
                .arg(publicKeyPath, MinisignPublicKey::keyIdText(key.keyId()))};
}

Result<ReleaseSigner::Error> ReleaseSigner::stageRevocations(Staging *staging, QString *note) {
    const QString path = QDir(cdn).filePath(KeyRevocation::fileName(versionFile));
    QList<QByteArray> entries;
    if (QFile::exists(path)) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return {Error::CannotRead, QStringLiteral("cannot read %1: %2").arg(path, f.errorString())};
        QString why;
        const QByteArray file = f.read(KeyRevocation::MaxFileSize + 1);
        entries = KeyRevocation::entries(file, &why);
        if (entries.isEmpty() && !why.isEmpty())
            return {Error::Refused, QStringLiteral("%1: %2; fix or remove it first").arg(path, why)};
    }
    QStringList ids;
    QByteArray text;
    for (const QByteArray &entry : qAsConst(entries)) {
        if (!revoking.contains(KeyRevocation::keyIdFromText(KeyRevocation::namedKey(entry))))
            text += entry;
    }
    const qint64 time = qMax(QDateTime::currentSecsSinceEpoch(), previous + 1);
    for (const MinisignSecretKey &key : qAsConst(keys)) {
        if (revoking.contains(key.publicKey().keyId())) {
            text += KeyRevocation::make(key, time);
            ids << MinisignPublicKey::keyIdText(key.publicKey().keyId());
        }
    }
    QString why;
    if (KeyRevocation::entries(text, &why).isEmpty() && !why.isEmpty())
        return {Error::Refused, QStringLiteral("%1 cannot take these revocations: %2").arg(path, why)};
    const Result<Staging::Error> staged = staging->write(KeyRevocation::fileName(versionFile), text);
    if (!staged.ok())
        return staged.as(Error::CannotWrite);
    *note = QStringLiteral("revoked key%1 %2 in %3")
                .arg(ids.size() > 1 ? QStringLiteral("s") : QString(), ids.join(QLatin1String(", ")), path);
    return {};
}

QStringList ReleaseSigner::signaturesInPlace() const {
    QStringList names;
    if (QFile::exists(QDir(cdn).filePath(versionFile + SignatureSuffix)))
        names << versionFile + SignatureSuffix;
    const QStringList candidates =
        QDir(cdn).entryList({versionFile + QStringLiteral(".*") + SignatureSuffix}, QDir::Files, QDir::Name);
    // Only "<file>.<key id>.minisig": the pattern also matches the signatures of files named after this
    // one ("version3.txt.coming.minisig"), which are not this file's to check or remove.
    QStringList keyed;
    for (const QString &name : candidates) {
        if (isKeyIdSignature(name, versionFile))
            keyed << name;
    }
    names << keyed.mid(0, MaxSignatures);
    return names;
}

QByteArray ReleaseSigner::readListed(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(VersionTable::MaxVersionFileSize + 1) : QByteArray();
}

Result<ReleaseSigner::Error> ReleaseSigner::checkCurrent(QString *note) {
    const QString versionPath = QDir(cdn).filePath(versionFile);
    previous = -1;
    previousDays = 0;
    const QStringList signatures = signaturesInPlace();
    if (signatures.isEmpty()) {
        if (QFile::exists(versionPath))
            *note =
                QStringLiteral("note: %1 was not signed before; its entries are signed now").arg(versionPath);
        return {};
    }
    QStringList publicKeys;
    for (const MinisignSecretKey &k : qAsConst(keys))
        publicKeys << QString::fromLatin1(k.publicKey().toBase64());
    const ReleaseVerifier verifier(publicKeys.join(QLatin1Char(',')));

    // The newest release time among the signatures that verify the file given with one of the keys.
    const auto verifies = [&](const QByteArray &text, QString *firstReason) {
        bool any = false;
        for (const QString &name : signatures) {
            const QByteArray signature = readSignature(QDir(cdn).filePath(name));
            const ReleaseVerifier::Result r = kind == Kind::Coming
                                                  ? verifier.verifyComing(text, signature, -1, versionFile)
                                                  : verifier.verify(text, signature);
            if (!r.ok) {
                if (firstReason->isEmpty())
                    *firstReason = r.reason;
                continue;
            }
            any = true;
            if (r.timestamp > previous) {
                previous = r.timestamp;
                if (kind == Kind::Release)
                    previousDays = MinisignSignature::parse(signature).commentField("valid_days").toInt();
            }
        }
        return any;
    };
    QString reason;
    if (verifies(readListed(versionPath), &reason))
        return {};
    const QString staged = Staging::stagedPath(cdn, versionFile);
    QString stagedReason;
    if (!QFile::exists(staged) || !verifies(readListed(staged), &stagedReason)) {
        if (!QFile::exists(versionPath))
            return {Error::Refused, QStringLiteral("%1 has no %2 beside it; check what changed on the CDN "
                                                   "before publishing over it")
                                        .arg(QDir(cdn).filePath(signatures.first()), versionFile)};
        return {Error::Refused,
                QStringLiteral("%1 does not verify with the keys given (%2); check what changed "
                               "on the CDN before publishing over it")
                    .arg(versionPath, reason)};
    }
    if (!Platform::replaceFile(staged, versionPath))
        return {Error::CannotWrite, QStringLiteral("cannot put %1 in place of %2").arg(staged, versionPath)};
    *note = QStringLiteral("note: %1 put in place from an interrupted run, whose signature it matches")
                .arg(versionPath);
    return {};
}

Result<ReleaseSigner::Error> ReleaseSigner::stage(Staging *staging, const QByteArray &text, int validDays,
                                                  QString *note) {
    // Later than the previous release even if this machine's clock is behind: launchers refuse older ones.
    const qint64 time = qMax(QDateTime::currentSecsSinceEpoch(), previous + 1);
    QByteArray comment;
    if (kind == Kind::Coming) {
        // Launchers in the field read a release time only after "timestamp:", so they refuse this one.
        comment =
            ReleaseVerifier::ComingTimePrefix + QByteArray::number(time) + "\tfile:" + versionFile.toUtf8();
    } else {
        comment = "timestamp:" + QByteArray::number(time);
        if (validDays > 0)
            comment += "\tvalid_days:" + QByteArray::number(validDays);
        comment += "\tfile:" + versionFile.toUtf8() + "\thashed";
    }
    QList<MinisignSecretKey> signing;
    for (const MinisignSecretKey &key : qAsConst(keys)) {
        if (!revoking.contains(key.publicKey().keyId()))
            signing.append(key);
    }
    if (signing.isEmpty())
        return {Error::Refused, QStringLiteral("no key is left to sign %1 with: give the keys that stay with "
                                               "--sign-key too")
                                    .arg(versionFile)};
    QStringList ids;
    QList<QByteArray> signatures;
    for (const MinisignSecretKey &key : qAsConst(signing)) {
        const QByteArray signature = key.sign(text, comment).toFile("signature from kv-publish secret key");
        const ReleaseVerifier own(QString::fromLatin1(key.publicKey().toBase64()));
        const ReleaseVerifier::Result check = kind == Kind::Coming
                                                  ? own.verifyComing(text, signature, -1, versionFile)
                                                  : own.verify(text, signature, -1, versionFile);
        if (!check.ok)
            return {Error::CannotWrite,
                    QStringLiteral("the new signature does not verify (%1)").arg(check.reason)};
        signatures << signature;
        ids << MinisignPublicKey::keyIdText(key.publicKey().keyId());
    }
    // The copies named by the list's digest go first: a launcher that asks for them never finds one
    // missing beside its list, while the names in place still serve the list before.
    written.clear();
    for (int i = 0; i < signing.size(); ++i) {
        const QString name = ReleaseVerifier::digestSignatureName(versionFile, text,
                                                                  signing.at(i).publicKey().keyId(), i == 0);
        const Result<Staging::Error> staged = staging->write(name, signatures.at(i));
        if (!staged.ok())
            return staged.as(Error::CannotWrite);
        digestWritten << name;
    }
    // The first key's signature takes its name last: launchers in the field read only that one.
    for (int i = signing.size() - 1; i >= 0; --i) {
        const QString name =
            ReleaseVerifier::signatureName(versionFile, signing.at(i).publicKey().keyId(), i == 0);
        const Result<Staging::Error> staged = staging->write(name, signatures.at(i));
        if (!staged.ok())
            return staged.as(Error::CannotWrite);
        written.prepend(name);
    }
    *note = QStringLiteral("signed %1 with key%2 %3, %4 time %5")
                .arg(QDir(cdn).filePath(versionFile), ids.size() > 1 ? QStringLiteral("s") : QString(),
                     ids.join(QLatin1String(", ")),
                     kind == Kind::Coming ? QStringLiteral("preload") : QStringLiteral("release"))
                .arg(time);
    if (validDays > 0 && kind == Kind::Release)
        *note += QStringLiteral(", valid for %1 days until %2")
                     .arg(validDays)
                     .arg(time + validDays * ReleaseVerifier::DaySecs);
    return {};
}

void ReleaseSigner::removeStale() const {
    for (const QString &name : signaturesInPlace()) {
        if (!written.contains(name))
            QFile::remove(QDir(cdn).filePath(name));
    }
}
