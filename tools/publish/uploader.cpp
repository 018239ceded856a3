#include "tools/publish/uploader.h"

#include "patch/blockmap.h"
#include "patch/zipindex.h"
#include "tools/publish/publicurlcheck.h"
#include "tools/publish/publishprogress.h"
#include "tools/publish/releasesigner.h"
#include "trust/keyrevocation.h"
#include "trust/releaseverifier.h"
#include "trust/versiontable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

Uploader::Uploader(const QString &cdnDir, const QString &versionFile, const QStringList &remoteNames)
    : cdn(cdnDir)
    , versionFile(versionFile) {
    for (const QString &r : remoteNames)
        remotes << RcloneRemote(r);
}

QString Uploader::localPath(const QString &name) const {
    return QDir(cdn).filePath(name);
}

bool Uploader::namedFiles(const QString &list, QStringList *names, QString *why) const {
    QFile f(localPath(list));
    if (!f.exists())
        return true;
    if (!f.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read %1: %2").arg(f.fileName(), f.errorString());
        return false;
    }
    QMap<QString, RemoteFileInfo> table;
    QString refused;
    if (!VersionTable::parseFile(f.read(VersionTable::MaxVersionFileSize + 1), &table, &refused)) {
        *why = QStringLiteral("%1 has a line launchers refuse: %2").arg(f.fileName(), refused.left(120));
        return false;
    }
    for (const RemoteFileInfo &e : qAsConst(table)) {
        const QString name = QStringLiteral("v%1_%2").arg(e.version, e.name);
        for (const QString &file : {name, name + QLatin1String(BlockMap::RemoteSuffix),
                                    name + QLatin1String(ZipIndex::RemoteSuffix)}) {
            if ((file == name || QFileInfo(localPath(file)).isFile()) && !names->contains(file))
                names->append(file);
        }
    }
    return true;
}

QStringList Uploader::digestSignatures(const QString &list) const {
    QFile f(localPath(list));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QString prefix =
        list + QLatin1Char('.') + ReleaseVerifier::listDigest(f.readAll()) + QLatin1Char('.');
    return QDir(cdn).entryList({prefix + QStringLiteral("*minisig")}, QDir::Files, QDir::Name);
}

Result<Uploader::Error> Uploader::checkVersioned(const RcloneRemote &remote,
                                                 const QMap<QString, RcloneRemote::Entry> &there,
                                                 const QStringList &names, QStringList *missing) const {
    for (const QString &name : names) {
        const auto found = there.constFind(name);
        if (found == there.constEnd()) {
            missing->append(name);
            continue;
        }
        const qint64 size = QFileInfo(localPath(name)).size();
        const QString clash =
            QStringLiteral("%1 is already there with other bytes than %2; a versioned name keeps "
                           "its bytes: publish a new version")
                .arg(remote.pathOf(name), localPath(name));
        if (found->size != size)
            return {Error::Failed, clash};
        if (!newFiles.contains(name) || size == 0)
            continue;
        // Written by this run yet already there: its ends must be ours (the storage may keep no digest).
        QFile local(localPath(name));
        if (!local.open(QIODevice::ReadOnly))
            return {Error::Failed,
                    QStringLiteral("cannot read %1: %2").arg(local.fileName(), local.errorString())};
        const qint64 n = qMin(PublicUrlCheck::EndBytes, size);
        for (const qint64 start : {qint64(0), size - n}) {
            QByteArray bytes;
            const Result<RcloneRemote::Error> read = remote.read(name, start, n, &bytes);
            if (!read.ok())
                return read.as(Error::Failed);
            local.seek(start);
            if (bytes != local.read(n))
                return {Error::Failed, clash};
        }
    }
    return {};
}

Result<Uploader::Error> Uploader::uploadEverywhere(const QStringList &names, const char *header,
                                                   QStringList *lines) {
    for (const RcloneRemote &remote : qAsConst(remotes)) {
        const Result<RcloneRemote::Error> sent = remote.upload(cdn, names, header);
        if (!sent.ok())
            return sent.as(Error::Failed);
    }
    if (!names.isEmpty())
        lines->append(QStringLiteral("uploaded %1").arg(names.join(QLatin1String(", "))));
    return {};
}

Result<Uploader::Error> Uploader::run(QStringList *lines) {
    const QString coming = ReleaseVerifier::comingListName(versionFile);
    QStringList versioned;
    QString why;
    if (!namedFiles(versionFile, &versioned, &why) || !namedFiles(coming, &versioned, &why))
        return {Error::Failed, why};
    const QStringList digestNamed = digestSignatures(versionFile) + digestSignatures(coming);

    // What every origin lacks of the versioned files; a clash stops the upload before any byte goes up.
    QList<QStringList> missing;
    QSet<QString> absentSomewhere;
    qint64 totalBytes = 0;
    int totalFiles = 0;
    for (const RcloneRemote &remote : qAsConst(remotes)) {
        QMap<QString, RcloneRemote::Entry> there;
        const Result<RcloneRemote::Error> listed = remote.list(&there);
        if (!listed.ok())
            return listed.as(Error::Failed);
        QStringList lacking;
        const Result<Error> checked = checkVersioned(remote, there, versioned, &lacking);
        if (!checked.ok())
            return checked;
        for (const QString &name : qAsConst(lacking)) {
            totalBytes += QFileInfo(localPath(name)).size();
            absentSomewhere.insert(name);
        }
        totalFiles += lacking.size();
        for (const QString &name : digestNamed) {
            if (!there.contains(name))
                absentSomewhere.insert(name);
        }
        missing << lacking;
    }

    PublishProgress progress(totalFiles, totalBytes);
    for (int i = 0; i < remotes.size(); ++i) {
        qint64 sentBefore = 0;
        const Result<RcloneRemote::Error> sent =
            remotes.at(i).upload(cdn, missing.at(i), RcloneRemote::ImmutableHeader, [&](qint64 sent) {
                progress.addBytes(sent - sentBefore);
                sentBefore = sent;
            });
        if (!sent.ok())
            return sent.as(Error::Failed);
        for (int n = 0; n < missing.at(i).size(); ++n)
            progress.fileDone();
        if (!missing.at(i).isEmpty())
            lines->append(QStringLiteral("uploaded %1 versioned files to %2")
                              .arg(missing.at(i).size())
                              .arg(remotes.at(i).name()));
    }
    progress.clear();
    if (const Result<Error> r = uploadEverywhere(digestNamed, RcloneRemote::NoCacheHeader, lines); !r.ok())
        return r;

    if (!checkBase.isEmpty()) {
        PublicUrlCheck check(checkBase);
        QStringList checkedNames = versioned + digestNamed;
        int count = 0;
        for (const QString &name : qAsConst(checkedNames)) {
            if (!absentSomewhere.contains(name))
                continue;
            const Result<PublicUrlCheck::Error> answer = check.check(name, localPath(name));
            if (!answer.ok())
                return {Error::Failed,
                        answer.reason() +
                            QStringLiteral("; no list was uploaded, the live release is unchanged")};
            ++count;
        }
        lines->append(QStringLiteral("checked %1 new files through %2").arg(count).arg(checkBase));
    }

    // One name at a time from here: the order is what launchers rely on.
    QStringList inPlace;
    const auto fixedSignatures = [&](const QString &list, ReleaseSigner::Kind kind) {
        return QFileInfo(localPath(list)).isFile() ? ReleaseSigner(cdn, list, kind).signaturesInPlace()
                                                   : QStringList();
    };
    QStringList comingSignatures = fixedSignatures(coming, ReleaseSigner::Kind::Coming);
    std::reverse(comingSignatures.begin(), comingSignatures.end()); // the default name last
    inPlace << comingSignatures;
    for (const QString &name : {KeyRevocation::fileName(versionFile), coming}) {
        if (QFileInfo(localPath(name)).isFile())
            inPlace << name;
    }
    QStringList releaseSignatures = fixedSignatures(versionFile, ReleaseSigner::Kind::Release);
    std::reverse(releaseSignatures.begin(), releaseSignatures.end());
    inPlace << releaseSignatures;
    if (QFileInfo(localPath(versionFile)).isFile())
        inPlace << versionFile;
    for (const QString &name : qAsConst(inPlace)) {
        if (const Result<Error> r = uploadEverywhere({name}, RcloneRemote::NoCacheHeader, lines); !r.ok())
            return r;
    }
    return {};
}
