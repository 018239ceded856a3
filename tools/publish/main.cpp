// kv-publish: copies release files into a CDN folder under their versioned names and rewrites the
// version file afterwards, so a client never reads a version file naming a file not yet in place.
#include "archive/zipindexmaker.h"
#include "core/filedigest.h"
#include "patch/blockmap.h"
#include "patch/zipindex.h"
#include "platform/filenamerules.h"
#include "platform/platform.h"
#include "tools/publish/pruner.h"
#include "tools/publish/publishinput.h"
#include "tools/publish/publishprogress.h"
#include "tools/publish/publishusage.h"
#include "tools/publish/releasesigner.h"
#include "tools/publish/staging.h"
#include "tools/publish/uploader.h"
#include "trust/releaseverifier.h"
#include "trust/versiontable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSet>
#include <QTextStream>

#include <cstdio>

namespace {

using namespace PublishInput;

constexpr qint64 MaxFileSize = VersionTable::MaxListedFileSize; // the launcher refuses larger sizes

// Stages the block map of the file at path (as published under remoteName) and gives its digest;
// false, with the reason on stderr, when the file cannot be read or the map cannot be staged.
bool stageMap(Staging *staging, const QString &path, const QString &remoteName, QString *digest,
              qint64 *mapSize) {
    QByteArray map;
    const Result<BlockMap::Error> made = BlockMap::make(path, &map);
    if (!made.ok()) {
        err() << "kv-publish: " << made.reason() << "\n";
        return false;
    }
    const Result<Staging::Error> staged =
        staging->write(remoteName + QLatin1String(BlockMap::RemoteSuffix), map);
    if (!staged.ok()) {
        err() << "kv-publish: " << staged.reason() << "\n";
        return false;
    }
    *digest = BlockMap::digestHex(map);
    *mapSize = map.size();
    return true;
}

// Stages the entry index of the zip archive at path (as published under remoteName) and gives its
// digest and size. An archive that cannot be indexed (not a zip archive, an entry the launcher cannot
// unpack) is published without an index, with a warning: launchers then fetch it whole, as before.
// False, with the reason on stderr, only when the index cannot be staged.
bool stageIndex(Staging *staging, const QString &path, const QString &remoteName, QString *digest,
                qint64 *indexSize) {
    ZipIndex index;
    const Result<ZipIndex::Error> made = ZipIndexMaker::make(path, &index);
    if (!made.ok()) {
        err() << "kv-publish: warning: no entry index for " << remoteName << ": " << made.reason() << "\n";
        err().flush();
        return true;
    }
    const QByteArray bytes = index.toBytes();
    const Result<Staging::Error> staged =
        staging->write(remoteName + QLatin1String(ZipIndex::RemoteSuffix), bytes);
    if (!staged.ok()) {
        err() << "kv-publish: " << staged.reason() << "\n";
        return false;
    }
    *digest = ZipIndex::digestHex(bytes);
    *indexSize = bytes.size();
    return true;
}

// True for success; otherwise says why on stderr.
bool succeeded(const Result<Staging::Error> &result) {
    if (!result.ok())
        err() << "kv-publish: " << result.reason() << "\n";
    return result.ok();
}

// The exit code of a signing step: 2 for refused input, 1 for a failed read or write.
int exitCodeOf(const Result<ReleaseSigner::Error> &result) {
    if (result.ok())
        return 0;
    err() << "kv-publish: " << result.reason() << "\n";
    return result.code() == ReleaseSigner::Error::Refused ? 2 : 1;
}

// True when every entry is listed in records as it is published: a coming release made of them would
// name nothing newer than the version file.
bool namesNothingNewer(const QList<Entry> &entries, const QMap<QString, RemoteFileInfo> &records) {
    for (const Entry &e : entries) {
        const auto listed = records.constFind(e.name);
        if (!e.alreadyInPlace || listed == records.constEnd() || listed->version != e.version ||
            listed->md5 != e.md5InPlace || listed->size != e.size)
            return false;
    }
    return true;
}

// Removes a coming release's list and its signatures, the list first: a launcher reading in between
// finds no list rather than one whose signature is gone. The versioned files stay.
int withdrawPreload(const QString &cdnDir, const QString &versionFileName) {
    const QString listName = ReleaseVerifier::comingListName(versionFileName);
    const QStringList signatures =
        ReleaseSigner(cdnDir, listName, ReleaseSigner::Kind::Coming).signaturesInPlace();
    // A run stopped before the list took its name left it staged, signed by what is in place.
    QStringList paths{QDir(cdnDir).filePath(listName), Staging::stagedPath(cdnDir, listName)};
    for (const QString &name : signatures)
        paths << QDir(cdnDir).filePath(name);
    // The copies named by the list's digest sign nothing launchers will be given any more.
    for (const QString &list : {paths.at(0), paths.at(1)}) {
        if (!QFileInfo(list).isFile())
            continue;
        const QString digest = ReleaseVerifier::listDigest(ReleaseSigner::readListed(list));
        for (const QString &name : QDir(cdnDir).entryList(
                 {listName + QLatin1Char('.') + digest + QStringLiteral(".*minisig")}, QDir::Files))
            paths << QDir(cdnDir).filePath(name);
    }
    QStringList removed;
    for (const QString &path : qAsConst(paths)) {
        if (!QFileInfo(path).isFile())
            continue;
        QFile file(path);
        if (!file.remove()) {
            err() << "kv-publish: cannot remove " << path << ": " << file.errorString() << "\n";
            return 1;
        }
        removed << QFileInfo(path).fileName();
    }
    if (removed.isEmpty()) {
        out() << "no coming release in " << cdnDir << "; nothing to withdraw\n";
        return 0;
    }
    out() << "withdrew the coming release: removed " << removed.join(QLatin1String(", ")) << " from "
          << cdnDir << "\n";
    return 0;
}

// Re-signs the version file in place with a new release time and validity period, changing no
// listed file: what a publisher runs on a schedule to keep a release within its validity.
int renew(const QString &cdnDir, const QString &versionFileName, ReleaseSigner *signer, int validDays) {
    const QString versionPath = QDir(cdnDir).filePath(versionFileName);
    if (!QFile::exists(versionPath)) {
        err() << "kv-publish: --renew: " << versionPath << " does not exist; publish a release first\n";
        return 2;
    }
    QString note;
    if (const int code = exitCodeOf(signer->checkCurrent(&note)))
        return code;
    if (!note.isEmpty())
        out() << note << "\n";
    const QByteArray text = ReleaseSigner::readListed(versionPath);
    if (text.size() > VersionTable::MaxVersionFileSize) {
        err() << "kv-publish: " << versionPath << " is larger than the launcher accepts\n";
        return 2;
    }
    // Without a new period the release keeps the one it was signed with.
    const int days = validDays > 0 ? validDays : signer->previousValidDays();
    Staging::removeLeftovers(cdnDir);
    Staging staging(cdnDir);
    QString revokedNote, signedNote;
    if (signer->isRevoking()) {
        if (const int code = exitCodeOf(signer->stageRevocations(&staging, &revokedNote)))
            return code;
    }
    if (const int code = exitCodeOf(signer->stage(&staging, text, days, &signedNote)))
        return code;
    if (!succeeded(staging.putInPlace()))
        return 1;
    signer->removeStale();
    if (!revokedNote.isEmpty())
        out() << revokedNote << "\n";
    out() << signedNote << "\n";
    out() << "renewed " << versionPath << " (no file changed)\n";
    return 0;
}

// Uploads the CDN folder to the origins, when any are given.
int upload(const QStringList &remotes, const QString &cdnDir, const QString &versionFileName,
           const QString &checkUrl, const QStringList &newFiles) {
    if (remotes.isEmpty())
        return 0;
    Uploader uploader(cdnDir, versionFileName, remotes);
    uploader.setCheckUrl(checkUrl);
    uploader.setNewFiles(newFiles);
    QStringList lines;
    const Result<Uploader::Error> done = uploader.run(&lines);
    for (const QString &line : qAsConst(lines))
        out() << line << "\n";
    out().flush();
    if (!done.ok()) {
        err() << "kv-publish: upload stopped: " << done.reason() << "\n";
        return 1;
    }
    out() << "uploaded to " << remotes.join(QLatin1String(", ")) << "\n";
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QString cdnDir, releaseDir, versionFileName = QStringLiteral("version3.txt");
    QStringList signKeyPaths;
    QStringList revokeKeyPaths;
    bool replace = false;
    bool renewing = false;
    bool preloading = false;
    bool withdrawing = false;
    int validDays = 0;
    int pruneDays = -1;
    QStringList remotes;
    QString checkUrl;
    QList<Entry> entries;

    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        auto value = [&](QString *target) {
            if (i + 1 >= args.size()) {
                err() << "kv-publish: " << a << " needs a value (see --help)\n";
                return false;
            }
            *target = args.at(++i);
            return true;
        };
        // Options that may be given more than once gather their values.
        auto oneMore = [&](QStringList *list) {
            QString v;
            if (!value(&v))
                return false;
            *list << v;
            return true;
        };
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            out() << PublishUsage::text;
            return 0;
        } else if (a == QLatin1String("--cdn")) {
            if (!value(&cdnDir))
                return 2;
        } else if (a == QLatin1String("--release")) {
            if (!value(&releaseDir))
                return 2;
        } else if (a == QLatin1String("--version-file")) {
            if (!value(&versionFileName))
                return 2;
        } else if (a == QLatin1String("--manifest")) {
            QString path;
            if (!value(&path) || !readManifest(path, &entries))
                return 2;
        } else if (a == QLatin1String("--sign-key")) {
            if (!oneMore(&signKeyPaths))
                return 2;
        } else if (a == QLatin1String("--valid-for")) {
            QString days;
            if (!value(&days))
                return 2;
            bool ok = false;
            validDays = days.toInt(&ok);
            if (!ok || validDays < 1 || validDays > ReleaseVerifier::MaxValidDays) {
                err() << "kv-publish: --valid-for takes a number of days from 1 to "
                      << ReleaseVerifier::MaxValidDays << ", not \"" << days << "\"\n";
                return 2;
            }
        } else if (a == QLatin1String("--revoke-key")) {
            if (!oneMore(&revokeKeyPaths))
                return 2;
        } else if (a == QLatin1String("--upload")) {
            if (!oneMore(&remotes))
                return 2;
        } else if (a == QLatin1String("--check-url")) {
            if (!value(&checkUrl))
                return 2;
        } else if (a == QLatin1String("--prune")) {
            QString days;
            if (!value(&days))
                return 2;
            bool ok = false;
            pruneDays = days.toInt(&ok);
            if (!ok || pruneDays < 0) {
                err() << "kv-publish: --prune takes a number of days, not \"" << days << "\"\n";
                return 2;
            }
        } else if (a == QLatin1String("--renew")) {
            renewing = true;
        } else if (a == QLatin1String("--preload")) {
            preloading = true;
        } else if (a == QLatin1String("--withdraw-preload")) {
            withdrawing = true;
        } else if (a == QLatin1String("--replace")) {
            replace = true;
        } else if (a.startsWith(QLatin1String("--"))) {
            err() << "kv-publish: unknown option " << a << " (see --help)\n";
            return 2;
        } else if (!parseAssignment(a, &entries, QStringLiteral("argument"))) {
            return 2;
        }
    }
    if (signKeyPaths.isEmpty() && !qEnvironmentVariable("KV_PUBLISH_SIGN_KEY").isEmpty())
        signKeyPaths << qEnvironmentVariable("KV_PUBLISH_SIGN_KEY");
    if (!safeField(versionFileName)) {
        err() << "kv-publish: unsafe version file name \"" << versionFileName << "\"\n";
        return 2;
    }
    if (!checkUrl.isEmpty() && remotes.isEmpty()) {
        err() << "kv-publish: --check-url goes with --upload (see --help)\n";
        return 2;
    }
    if (pruneDays >= 0) {
        if (remotes.isEmpty() || !releaseDir.isEmpty() || !entries.isEmpty() || renewing || preloading ||
            withdrawing || replace || validDays > 0 || !revokeKeyPaths.isEmpty() || !checkUrl.isEmpty()) {
            err()
                << "kv-publish: --prune needs --upload REMOTE and takes no files or other publishing options "
                   "(see --help)\n";
            return 2;
        }
        ReleaseSigner keys(QString(), versionFileName);
        for (const QString &path : qAsConst(signKeyPaths)) {
            if (exitCodeOf(keys.addKey(path)))
                return 2;
        }
        Pruner pruner(versionFileName, keys.signingKeys(), pruneDays);
        for (const QString &remote : qAsConst(remotes)) {
            QStringList lines;
            const Result<Pruner::Error> pruned = pruner.run(remote, &lines);
            for (const QString &line : qAsConst(lines))
                out() << line << "\n";
            if (!pruned.ok()) {
                err() << "kv-publish: prune stopped: " << pruned.reason() << "\n";
                return pruned.code() == Pruner::Error::Refused ? 2 : 1;
            }
        }
        return 0;
    }
    if (withdrawing && !remotes.isEmpty()) {
        err()
            << "kv-publish: --withdraw-preload uploads nothing: remove the list, then its signatures, on the "
               "origin by hand\n";
        return 2;
    }
    if (withdrawing) {
        if (cdnDir.isEmpty() || !releaseDir.isEmpty() || !entries.isEmpty() || renewing || preloading ||
            replace || validDays > 0 || !revokeKeyPaths.isEmpty()) {
            err() << "kv-publish: --withdraw-preload needs --cdn DIR and takes no files or other publishing "
                     "options (see --help)\n";
            return 2;
        }
        return withdrawPreload(cdnDir, versionFileName);
    }
    if (preloading && (renewing || !revokeKeyPaths.isEmpty())) {
        err() << "kv-publish: --preload goes with neither --renew nor --revoke-key: a coming release changes "
                 "nothing launchers take as released (see --help)\n";
        return 2;
    }
    ReleaseSigner signer(cdnDir, versionFileName);
    for (const QString &path : qAsConst(signKeyPaths)) {
        if (const int code = exitCodeOf(signer.addKey(path)))
            return code == 1 ? 2 : code; // an unreadable key is bad usage, nothing was written
    }
    for (const QString &path : qAsConst(revokeKeyPaths)) {
        if (const int code = exitCodeOf(signer.revoke(path)))
            return code == 1 ? 2 : code;
    }
    if (signer.isRevoking() && !signer.hasKeyLeft()) {
        err() << "kv-publish: no key is left to sign the version file with: give the keys that stay with "
                 "--sign-key too\n";
        return 2;
    }
    if (validDays > 0 && !signer.isSigning()) {
        err() << "kv-publish: --valid-for needs --sign-key: the validity period is part of the signature\n";
        return 2;
    }
    if (renewing) {
        if (cdnDir.isEmpty() || !signer.isSigning() || !entries.isEmpty() || !releaseDir.isEmpty()) {
            err() << "kv-publish: --renew needs --cdn DIR and --sign-key, and publishes no files (see "
                     "--help)\n";
            return 2;
        }
        if (const int code = renew(cdnDir, versionFileName, &signer, validDays))
            return code;
        return upload(remotes, cdnDir, versionFileName, checkUrl, {});
    }
    if (cdnDir.isEmpty() || releaseDir.isEmpty() || entries.isEmpty()) {
        err() << "kv-publish: need --cdn DIR, --release DIR and at least one name=version (see --help)\n";
        return 2;
    }

    // Everything is checked before anything is written.
    QSet<QString> seen;
    for (Entry &e : entries) {
        if (!safeField(e.name)) {
            err()
                << "kv-publish: refused name \"" << e.name
                << "\": the launcher refuses names that are empty, \".\", \"..\" or contain '/', '\\', ':', "
                   "NUL or a line break\n";
            return 2;
        }
        if (!safeField(e.version)) {
            err() << "kv-publish: refused version \"" << e.version << "\" for " << e.name
                  << ": a version must be non-empty and free of '/', '\\', ':', NUL and line breaks\n";
            return 2;
        }
        if (seen.contains(e.name)) {
            err() << "kv-publish: " << e.name << " is named twice\n";
            return 2;
        }
        seen.insert(e.name);
        e.source = QDir(releaseDir).filePath(e.name);
        const QFileInfo info(e.source);
        if (!info.exists() || !info.isFile()) {
            err() << "kv-publish: " << e.source << " is not a file\n";
            return 2;
        }
        e.size = info.size();
        if (e.size > MaxFileSize) {
            err() << "kv-publish: refused " << e.name << ": " << e.size << " bytes is more than the "
                  << MaxFileSize << " the launcher accepts\n";
            return 2;
        }
        const QString remoteName = QStringLiteral("v%1_%2").arg(e.version, e.name);
        e.target = QDir(cdnDir).filePath(remoteName);
        if (QFileInfo::exists(e.target)) {
            const QString have = fileMd5(e.target);
            const QString want = fileMd5(e.source);
            if (!have.isEmpty() && have == want) {
                e.alreadyInPlace = true;
                e.md5InPlace = have;
            } else if (!replace) {
                err() << "kv-publish: refused " << e.name << ": " << remoteName
                      << " is already published with different content; publish a new version (or use "
                         "--replace)\n";
                return 2;
            }
        }
    }

    const QString versionPath = QDir(cdnDir).filePath(versionFileName);
    const QString signaturePath = versionPath + QStringLiteral(".minisig");
    const QString listName = ReleaseVerifier::comingListName(versionFileName);
    const QString listPath = QDir(cdnDir).filePath(listName);
    ReleaseSigner listSigner = signer.forFile(listName, ReleaseSigner::Kind::Coming);
    if (signer.isSigning()) {
        // A coming list repeats the version file's entries: they are signed again only as they were.
        QString note;
        if (const int code = exitCodeOf(signer.checkCurrent(&note)))
            return code;
        if (!note.isEmpty())
            out() << note << "\n";
        if (preloading) {
            note.clear();
            if (const int code = exitCodeOf(listSigner.checkCurrent(&note)))
                return code;
            if (!note.isEmpty())
                out() << note << "\n";
        }
    } else if (QFile::exists(signaturePath)) {
        err() << "kv-publish: " << versionPath
              << " is signed; publish with --sign-key (launchers with a key would refuse an unsigned list)\n";
        return 2;
    } else if (preloading && !listSigner.signaturesInPlace().isEmpty()) {
        err() << "kv-publish: " << listPath
              << " is signed; publish with --sign-key (launchers with a key would refuse an unsigned list)\n";
        return 2;
    }

    if (!QDir().mkpath(cdnDir)) {
        err() << "kv-publish: cannot create " << cdnDir << "\n";
        return 1;
    }
    QMap<QString, RemoteFileInfo> records;
    if (!readVersionFile(versionPath, &records))
        return 1;
    if (preloading && namesNothingNewer(entries, records)) {
        err() << "kv-publish: refused --preload: " << versionPath
              << " lists every file given as it is; a coming release must name something newer\n";
        return 2;
    }
    Staging::removeLeftovers(cdnDir);

    Staging staging(cdnDir);
    QStringList published;
    QStringList newFiles; // written by this run, for the upload
    qint64 totalBytes = 0;
    for (const Entry &e : entries)
        totalBytes += e.size;
    PublishProgress progress(entries.size(), totalBytes);
    for (const Entry &e : entries) {
        QString md5;
        qint64 size = 0;
        if (e.alreadyInPlace) {
            md5 = e.md5InPlace;
            size = QFileInfo(e.target).size();
            progress.addBytes(size);
        } else if (!succeeded(staging.copy(e.source, QFileInfo(e.target).fileName(), MaxFileSize, &md5, &size,
                                           [&progress](qint64 n) { progress.addBytes(n); }))) {
            return 1;
        }
        RemoteFileInfo info;
        info.name = e.name;
        info.version = e.version;
        info.md5 = md5;
        info.size = size;
        const QString remoteName = QFileInfo(e.target).fileName();
        QString mapNote;
        if (BlockMap::wantsMap(e.name, size)) {
            // Made from the bytes as staged, so the map describes exactly what launchers fetch.
            const QString copy = e.alreadyInPlace ? e.target : Staging::stagedPath(cdnDir, remoteName);
            qint64 mapSize = 0;
            if (!stageMap(&staging, copy, remoteName, &info.mapDigest, &mapSize))
                return 1;
            mapNote = QStringLiteral(", map ") + remoteName + QLatin1String(BlockMap::RemoteSuffix) +
                      QLatin1Char(' ') + QString::number(mapSize);
        }
        if (ZipIndex::wantsIndex(e.name)) {
            progress.clear(); // a warning may follow
            const QString copy = e.alreadyInPlace ? e.target : Staging::stagedPath(cdnDir, remoteName);
            qint64 indexSize = 0;
            if (!stageIndex(&staging, copy, remoteName, &info.mapDigest, &indexSize))
                return 1;
            if (indexSize > 0)
                mapNote = QStringLiteral(", index ") + remoteName + QLatin1String(ZipIndex::RemoteSuffix) +
                          QLatin1Char(' ') + QString::number(indexSize);
        }
        records.insert(e.name, info);
        if (!e.alreadyInPlace)
            newFiles << remoteName << remoteName + QLatin1String(BlockMap::RemoteSuffix)
                     << remoteName + QLatin1String(ZipIndex::RemoteSuffix);
        progress.fileDone();
        published << QStringLiteral("published ") + e.name + QLatin1Char(' ') + e.version + QLatin1Char(' ') +
                         md5 + QLatin1Char(' ') + QString::number(size) + QStringLiteral(" -> ") +
                         remoteName + mapNote +
                         (e.alreadyInPlace ? QStringLiteral(" (already in place)") : QString());
    }

    // The files take their names in the order staged: every listed file is in place before the version
    // file (or the coming list, the version file the release will have) names it.
    const QByteArray text = VersionTable::format(records.values());
    // Signs what this run names its files in: the version file, or the coming list.
    ReleaseSigner &listing = preloading ? listSigner : signer;
    QString signedNote;
    QString revokedNote;
    if (signer.isRevoking()) {
        if (const int code = exitCodeOf(signer.stageRevocations(&staging, &revokedNote)))
            return code;
    }
    if (listing.isSigning()) {
        if (const int code = exitCodeOf(listing.stage(&staging, text, validDays, &signedNote)))
            return code;
    }
    if (!succeeded(staging.write(preloading ? listName : versionFileName, text)) ||
        !succeeded(staging.putInPlace()))
        return 1;
    if (listing.isSigning())
        listing.removeStale();
    progress.clear();
    for (const QString &line : qAsConst(published))
        out() << line << "\n";
    if (!revokedNote.isEmpty())
        out() << revokedNote << "\n";
    if (!signedNote.isEmpty())
        out() << signedNote << "\n";
    if (preloading)
        out() << "wrote " << listPath << " (" << records.size() << " entries, the coming release; "
              << versionPath << " unchanged)\n";
    else
        out() << "wrote " << versionPath << " (" << records.size() << " entries)\n";
    out().flush();
    return upload(remotes, cdnDir, versionFileName, checkUrl, newFiles);
}
