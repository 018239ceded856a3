#include "tools/publish/pruner.h"

#include "patch/blockmap.h"
#include "patch/zipindex.h"
#include "tools/publish/rcloneremote.h"
#include "trust/minisignsignature.h"
#include "trust/releaseverifier.h"
#include "trust/signaturelookup.h"
#include "trust/versiontable.h"

#include <QDateTime>
#include <QFile>
#include <QMap>
#include <QSet>
#include <QTemporaryDir>

namespace {

constexpr int RecordLimit = 4 * 1024 * 1024;

bool isHex(const QStringRef &text, bool upper) {
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (!upper && c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
              (upper && c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    }
    return true;
}

// "<list>.<64 hex>.minisig" or "<list>.<64 hex>.<key id>.minisig": the digest, else empty.
QString signedDigest(const QString &name, const QString &list) {
    const QString suffix = QStringLiteral(".minisig");
    if (!name.startsWith(list + QLatin1Char('.')) || !name.endsWith(suffix))
        return QString();
    const QStringRef middle = name.midRef(list.size() + 1, name.size() - list.size() - 1 - suffix.size());
    if (middle.size() != 64 && middle.size() != 64 + 17)
        return QString();
    if (!isHex(middle.left(64), false) ||
        (middle.size() > 64 && (middle.at(64) != QLatin1Char('.') || !isHex(middle.mid(65), true))))
        return QString();
    return middle.left(64).toString();
}

} // namespace

Pruner::Pruner(const QString &versionFile, const QList<MinisignSecretKey> &keys, int days)
    : versionFile(versionFile)
    , keepSecs(qint64(days) * ReleaseVerifier::DaySecs) {
    QStringList texts;
    for (const MinisignSecretKey &k : keys)
        texts << QString::fromLatin1(k.publicKey().toBase64());
    publicKeys = texts.join(QLatin1Char(','));
}

Result<Pruner::Error> Pruner::readList(const RcloneRemote &remote, const QStringList &there,
                                       const QString &list, bool coming, QByteArray *body) const {
    body->clear();
    if (!there.contains(list))
        return {};
    const Result<RcloneRemote::Error> read = remote.read(list, 0, VersionTable::MaxVersionFileSize + 1, body);
    if (!read.ok())
        return read.as(Error::Failed);
    const bool isSigned =
        there.contains(ReleaseVerifier::signatureName(list, QByteArray(), true)) ||
        there.contains(ReleaseVerifier::digestSignatureName(list, *body, QByteArray(), true));
    if (publicKeys.isEmpty()) {
        if (isSigned)
            return {Error::Refused,
                    QStringLiteral("%1 is signed: give its keys with --sign-key to verify it; nothing "
                                   "was removed")
                        .arg(remote.pathOf(list))};
        return {};
    }
    SignatureLookup lookup(ReleaseVerifier(publicKeys),
                           coming ? SignatureLookup::Kind::Coming : SignatureLookup::Kind::Release, list,
                           *body, -1);
    while (!lookup.isDone()) {
        const QString name = lookup.next();
        QByteArray signature;
        if (!there.contains(name)) {
            lookup.notAnswered(QStringLiteral("%1 is missing").arg(remote.pathOf(name)), true);
            continue;
        }
        const Result<RcloneRemote::Error> got =
            remote.read(name, 0, MinisignSignature::MaxFileSize + 1, &signature);
        if (!got.ok())
            return got.as(Error::Failed);
        lookup.answered(signature);
    }
    // An expired release is still what the origin serves.
    if (!lookup.result().authentic)
        return {Error::Refused,
                QStringLiteral("%1 does not verify with the keys given (%2); nothing was removed")
                    .arg(remote.pathOf(list), lookup.result().reason)};
    return {};
}

Result<Pruner::Error> Pruner::run(const QString &remoteName, QStringList *lines) {
    const RcloneRemote remote(remoteName);
    QMap<QString, RcloneRemote::Entry> listing;
    if (const Result<RcloneRemote::Error> listed = remote.list(&listing); !listed.ok())
        return listed.as(Error::Failed);
    const QStringList there = listing.keys();
    if (!there.contains(versionFile))
        return {Error::Refused,
                QStringLiteral("%1 has no %2; nothing was removed").arg(remoteName, versionFile)};

    const QString coming = ReleaseVerifier::comingListName(versionFile);
    QSet<QString> named;
    QSet<QString> liveDigests;
    for (const QString &list : {versionFile, coming}) {
        QByteArray body;
        if (const Result<Error> read = readList(remote, there, list, list == coming, &body); !read.ok())
            return read;
        if (body.isEmpty() && !there.contains(list))
            continue;
        QMap<QString, RemoteFileInfo> table;
        QString refused;
        if (!VersionTable::parseFile(body, &table, &refused))
            return {Error::Refused, QStringLiteral("%1 has a line launchers refuse (%2); nothing was removed")
                                        .arg(remote.pathOf(list), refused.left(120))};
        liveDigests.insert(list + QLatin1Char('.') + ReleaseVerifier::listDigest(body));
        for (const RemoteFileInfo &e : qAsConst(table)) {
            const QString name = QStringLiteral("v%1_%2").arg(e.version, e.name);
            named << name << name + QLatin1String(BlockMap::RemoteSuffix)
                  << name + QLatin1String(ZipIndex::RemoteSuffix);
        }
    }

    // Only the names kv-publish gives: "v<version>_<name>" and the lists' digest-named signatures.
    QStringList unnamed;
    for (const QString &name : there) {
        bool candidate =
            name.startsWith(QLatin1Char('v')) && name.contains(QLatin1Char('_')) && !named.contains(name);
        for (const QString &list : {versionFile, coming}) {
            const QString digest = signedDigest(name, list);
            if (!digest.isEmpty() && !liveDigests.contains(list + QLatin1Char('.') + digest))
                candidate = true;
        }
        if (candidate)
            unnamed << name;
    }

    QMap<QString, qint64> record;
    if (there.contains(recordName(versionFile))) {
        QByteArray text;
        if (const Result<RcloneRemote::Error> read =
                remote.read(recordName(versionFile), 0, RecordLimit, &text);
            !read.ok())
            return read.as(Error::Failed);
        for (const QByteArray &line : text.split('\n')) {
            const int tab = line.lastIndexOf('\t');
            bool ok = false;
            const qint64 t = tab > 0 ? line.mid(tab + 1).toLongLong(&ok) : -1;
            if (ok)
                record.insert(QString::fromUtf8(line.left(tab)), t);
        }
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QMap<QString, qint64> kept;
    int removed = 0;
    for (const QString &name : qAsConst(unnamed)) {
        const qint64 since = record.value(name, -1);
        if (since < 0 || now - since < keepSecs) {
            kept.insert(name, since < 0 ? now : since);
            continue;
        }
        if (const Result<RcloneRemote::Error> gone = remote.remove(name); !gone.ok())
            return gone.as(Error::Failed);
        lines->append(QStringLiteral("removed %1").arg(remote.pathOf(name)));
        ++removed;
    }

    QTemporaryDir folder;
    QFile out(folder.filePath(recordName(versionFile)));
    QByteArray text;
    for (auto it = kept.cbegin(); it != kept.cend(); ++it)
        text += it.key().toUtf8() + '\t' + QByteArray::number(it.value()) + '\n';
    if (!folder.isValid() || !out.open(QIODevice::WriteOnly) || out.write(text) != text.size() ||
        !out.flush())
        return {Error::Failed, QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString())};
    out.close();
    if (const Result<RcloneRemote::Error> sent =
            remote.upload(folder.path(), {recordName(versionFile)}, RcloneRemote::NoCacheHeader);
        !sent.ok())
        return sent.as(Error::Failed);
    lines->append(QStringLiteral("pruned %1: %2 removed, %3 unnamed kept for now")
                      .arg(remoteName)
                      .arg(removed)
                      .arg(kept.size()));
    return {};
}
