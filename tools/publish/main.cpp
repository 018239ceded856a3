// kv-publish: copies release files into a CDN folder under their versioned names and rewrites the
// version file afterwards, so a client never reads a version file naming a file not yet in place.
#include "archive/zipindexmaker.h"
#include "core/filedigest.h"
#include "patch/blockmap.h"
#include "patch/zipindex.h"
#include "platform/filenamerules.h"
#include "platform/platform.h"
#include "tools/publish/publishprogress.h"
#include "tools/publish/releasesigner.h"
#include "tools/publish/staging.h"
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

const char *const usage = R"(Usage: kv-publish --cdn DIR --release DIR [options] [name=version ...]
       kv-publish --cdn DIR --release DIR --preload [options] [name=version ...]
       kv-publish --cdn DIR --withdraw-preload [--version-file NAME]
       kv-publish --cdn DIR --renew --sign-key FILE [--sign-key FILE ...] [--valid-for DAYS]
                  [--revoke-key PUBLIC_KEY_FILE ...]

Copies each named file of the release folder into the CDN folder as "v<version>_<name>", then rewrites
the version file in the CDN folder with one "name:version:md5:size" line per file, sorted by name.
A file that is not a zip archive and has at least 4 MiB also gets its block map beside it,
"v<version>_<name>.blockmap" (rdiff's signature format), and the map's BLAKE2b-256 digest as a fifth
field of its line, so launchers holding an older copy fetch only the blocks they lack. A zip archive
("*.zip") gets its entry index instead, "v<version>_<name>.zipindex" (each entry's place in the archive
and the BLAKE2b-256 of what it unpacks to), and the index's digest as the fifth field; an archive that cannot be indexed
(not a zip archive, an encrypted entry, one neither stored nor deflated) is published without one, with
a warning.
Entries of the existing version file that are not published again are kept, and so are earlier
releases' files. Every new file is first written completely under a hidden name (".kv-publish-<name>");
only then do they take their names: the release files, the signature, and the version file last.

Options:
  --cdn DIR             CDN folder (created if missing)
  --release DIR         folder holding the files to publish
  --manifest FILE       read more "name=version" lines from FILE ('#' starts a comment line)
  --version-file NAME   name of the version file (default version3.txt)
  --replace             allow replacing an already published "v<version>_<name>" whose content differs
  --sign-key FILE       sign the version file with this minisign secret key (default: $KV_PUBLISH_SIGN_KEY);
                        a password-protected key takes its password from $KV_PUBLISH_KEY_PASSWORD. Give
                        it again for more keys: the first key's signature is "<version file>.minisig",
                        the others' "<version file>.<key id>.minisig" (16 hexadecimal digits)
  --valid-for DAYS      the release is valid for DAYS days (1 to 3650) from its release time: launchers
                        take nothing from it later (with one day's slack for their clocks) and ask again
  --revoke-key FILE     publish the revocation of the key of this minisign public key file in
                        "<version file>.revoked", signed by that key (give its secret key with --sign-key
                        too); launchers that trust more than one key refuse its signatures from then on.
                        The other --sign-key keys sign the version file. Goes with a release or --renew
  --renew               sign the version file in place again with a new release time (and --valid-for's
                        period, else the one it has), changing no other file; no name=version is given
  --preload             publish a coming release ahead of its day: its files (with their maps and
                        indexes) as a release copies them, then "<version file>.coming", the version
                        file the release will have, signed like it but with "preload:<unix seconds>"
                        (later than the previous coming list's) in place of the release time. The
                        version file and its signatures stay as they are; launchers pre-download the
                        changed files. The same command without --preload later releases it (the
                        files in place are kept). A list naming nothing newer is refused
  --withdraw-preload    remove "<version file>.coming" and its signatures; the versioned files stay
  --help                this text

Signing writes "<version file>.minisig" (minisign's format, verifiable with `minisign -V`), whose trusted
comment carries the release time as "timestamp:<unix seconds>", later than the previous release's, the
validity period as "valid_days:<n>" when one is given, and the version file's name ("file:<name>"). The
signature takes its name just before the version file, so a launcher that reads between the two sees a
mismatch and retries. Before signing, an existing signed version file must verify with the key: entries
that were changed on the CDN are not signed again. Without a key, a CDN folder whose version file is
signed is refused: an unsigned list beside a stale signature would be refused by every launcher.

A run that fails or is stopped leaves what launchers read as it was (or, stopped between the signature
and the version file, the new signature with the staged version file it signs beside the old one).
Running the same command again completes it: a staged version file that the signature in place verifies
with the key is put in place first, and files left staged are removed.

On a terminal, standard error shows the files and bytes done and the time left on one line; elsewhere
only the result lines are written.

Several CDN hosts (a launcher built with KESTRIVANE_CDN_MIRRORS): publish once, into one folder, and
copy that folder unchanged to every host, the versioned files first, then the signature and the version
file. Every host then serves the same bytes under the same names; launchers take the version file and
its signature from the same host and check every file against the signed list, so a host that is behind
or serves a damaged file costs a retry on another host, never a wrong install. Do not run kv-publish
on each host: the release times in the signatures would differ, and a launcher that accepted the later
one refuses the earlier as an older release.

Refused, with exit code 2 and nothing changed: names the launcher would refuse (empty, ".", "..",
or containing '/', '\', ':', a NUL or a line break), versions containing those characters, files
larger than 1 TiB, missing files, a name given twice, different content for an already published
version (without --replace), and a coming release whose files are all listed as they are.
Exit codes: 0 published, 1 a read or write failed, 2 refused input, bad usage or an unusable key.
)";

constexpr qint64 MaxFileSize = VersionTable::MaxListedFileSize; // the launcher refuses larger sizes

QTextStream &err() {
    static QTextStream s(stderr);
    return s;
}

QTextStream &out() {
    static QTextStream s(stdout);
    return s;
}

struct Entry {
    QString name;
    QString version;
    QString source;
    QString target;
    qint64 size = 0;
    bool alreadyInPlace = false;
    QString md5InPlace; // of the published copy, when alreadyInPlace
};

bool safeField(const QString &text) {
    return FileNameRules::isSafeFileName(text) && !text.contains(QLatin1Char('\n')) &&
           !text.contains(QLatin1Char('\r'));
}

bool parseAssignment(const QString &text, QList<Entry> *entries, const QString &where) {
    const int eq = text.indexOf(QLatin1Char('='));
    if (eq < 0) {
        err() << "kv-publish: " << where << ": expected name=version, got \"" << text << "\"\n";
        return false;
    }
    Entry e;
    e.name = text.left(eq);
    e.version = text.mid(eq + 1);
    entries->append(e);
    return true;
}

// The lines of the text file at path, without Windows line ends (a hand-edited file may have them);
// false, with a message, when it cannot be read or is larger than maxSize. `what` names the file in
// the messages ("manifest " or empty), `tooLarge` ends the one about its size.
bool readLines(const QString &path, const char *what, qint64 maxSize, const char *tooLarge,
               QStringList *lines) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        err() << "kv-publish: cannot read " << what << path << ": " << f.errorString() << "\n";
        return false;
    }
    if (f.size() > maxSize) {
        err() << "kv-publish: " << what << path << " is larger than " << tooLarge << "\n";
        return false;
    }
    *lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    for (QString &line : *lines)
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    return true;
}

bool readManifest(const QString &path, QList<Entry> *entries) {
    QStringList lines;
    if (!readLines(path, "manifest ", 1024 * 1024, "1 MiB", &lines))
        return false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(QLatin1Char('#')))
            continue;
        if (!parseAssignment(line.trimmed(), entries, QStringLiteral("%1:%2").arg(path).arg(i + 1)))
            return false;
    }
    return true;
}

// MD5 of a file; empty, with the reason on stderr, when it cannot be read.
QString fileMd5(const QString &path) {
    QByteArray md5;
    const Result<FileDigest::Error> read = FileDigest::md5Hex(path, &md5);
    if (!read.ok())
        err() << "kv-publish: " << read.reason() << "\n";
    return QString::fromLatin1(md5);
}

// Existing records of the version file; false when a line cannot be read back.
bool readVersionFile(const QString &path, QMap<QString, RemoteFileInfo> *records) {
    if (!QFile::exists(path))
        return true;
    QStringList lines;
    if (!readLines(path, "", VersionTable::MaxVersionFileSize, "the launcher accepts", &lines))
        return false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.isEmpty())
            continue;
        RemoteFileInfo info;
        if (!VersionTable::parseLine(line, &info)) {
            err() << "kv-publish: " << path << " line " << (i + 1) << " is not a valid entry: \"" << line
                  << "\"; fix or remove it first\n";
            return false;
        }
        records->insert(info.name, info);
    }
    return true;
}

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
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            out() << usage;
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
            QString path;
            if (!value(&path))
                return 2;
            signKeyPaths << path;
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
            QString path;
            if (!value(&path))
                return 2;
            revokeKeyPaths << path;
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
        return renew(cdnDir, versionFileName, &signer, validDays);
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
    return 0;
}
