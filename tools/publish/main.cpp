// kv-publish: copies release files into a CDN folder under their versioned names and rewrites the
// version file afterwards, so a client never reads a version file naming a file not yet in place.
#include "archive/zipindexmaker.h"
#include "core/filedigest.h"
#include "patch/blockmap.h"
#include "patch/zipindex.h"
#include "platform/filenamerules.h"
#include "platform/platform.h"
#include "tools/publish/publishprogress.h"
#include "tools/publish/staging.h"
#include "trust/minisignsecretkey.h"
#include "trust/minisignsignature.h"
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
                        a password-protected key takes its password from $KV_PUBLISH_KEY_PASSWORD
  --help                this text

Signing writes "<version file>.minisig" (minisign's format, verifiable with `minisign -V`), whose trusted
comment carries the release time as "timestamp:<unix seconds>", later than the previous release's, and
the version file's name ("file:<name>"). The
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
larger than 1 TiB, missing files, a name given twice, and different content for an already published
version (without --replace).
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

bool loadSecretKey(const QString &path, MinisignSecretKey *key) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        err() << "kv-publish: cannot read the secret key " << path << ": " << f.errorString() << "\n";
        return false;
    }
    *key = MinisignSecretKey::parse(f.read(MinisignSecretKey::MaxTextSize + 1),
                                    qgetenv("KV_PUBLISH_KEY_PASSWORD"));
    if (!key->isValid()) {
        err() << "kv-publish: secret key " << path << ": " << key->error() << "\n";
        return false;
    }
    return true;
}

// Up to the launcher's limit of the file at path; empty when it cannot be read.
QByteArray readListed(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(VersionTable::MaxVersionFileSize + 1) : QByteArray();
}

// Checks that the current version file verifies with the key, giving the release time of its signature
// (-1 when it has none). A run stopped between putting the signature and the version file in place left
// the version file it signed staged: that file is put in place first, completing that run. Returns the
// exit code: 0, 1 when the staged file cannot be put in place, 2 for a version file that does not verify.
int checkCurrentSignature(const QString &cdnDir, const QString &versionFileName, const MinisignSecretKey &key,
                          qint64 *previousTime) {
    const QString versionPath = QDir(cdnDir).filePath(versionFileName);
    const QString signaturePath = versionPath + QStringLiteral(".minisig");
    *previousTime = -1;
    if (!QFile::exists(signaturePath)) {
        if (QFile::exists(versionPath))
            out() << "note: " << versionPath << " was not signed before; its entries are signed now\n";
        return 0;
    }
    QFile sig(signaturePath);
    if (!sig.open(QIODevice::ReadOnly)) {
        err() << "kv-publish: cannot read " << signaturePath << ": " << sig.errorString() << "\n";
        return 2;
    }
    const QByteArray signature = sig.read(MinisignSignature::MaxFileSize + 1);
    const ReleaseVerifier verifier(QString::fromLatin1(key.publicKey().toBase64()));
    const ReleaseVerifier::Result current = verifier.verify(readListed(versionPath), signature);
    if (current.ok) {
        *previousTime = current.timestamp;
        return 0;
    }
    const QString staged = Staging::stagedPath(cdnDir, versionFileName);
    const ReleaseVerifier::Result interrupted =
        QFile::exists(staged) ? verifier.verify(readListed(staged), signature) : ReleaseVerifier::Result();
    if (!interrupted.ok) {
        if (!QFile::exists(versionPath))
            err() << "kv-publish: " << signaturePath << " has no " << versionFileName
                  << " beside it; check what changed on the CDN before publishing over it\n";
        else
            err() << "kv-publish: " << versionPath << " does not verify with this key (" << current.reason
                  << "); check what changed on the CDN before publishing over it\n";
        return 2;
    }
    if (!Platform::replaceFile(staged, versionPath)) {
        err() << "kv-publish: cannot put " << staged << " in place of " << versionPath << "\n";
        return 1;
    }
    out() << "note: " << versionPath << " put in place from an interrupted run, whose signature it matches\n";
    *previousTime = interrupted.timestamp;
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QString cdnDir, releaseDir, versionFileName = QStringLiteral("version3.txt");
    QString signKeyPath = qEnvironmentVariable("KV_PUBLISH_SIGN_KEY");
    bool replace = false;
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
            if (!value(&signKeyPath))
                return 2;
        } else if (a == QLatin1String("--replace")) {
            replace = true;
        } else if (a.startsWith(QLatin1String("--"))) {
            err() << "kv-publish: unknown option " << a << " (see --help)\n";
            return 2;
        } else if (!parseAssignment(a, &entries, QStringLiteral("argument"))) {
            return 2;
        }
    }
    if (cdnDir.isEmpty() || releaseDir.isEmpty() || entries.isEmpty()) {
        err() << "kv-publish: need --cdn DIR, --release DIR and at least one name=version (see --help)\n";
        return 2;
    }
    if (!safeField(versionFileName)) {
        err() << "kv-publish: unsafe version file name \"" << versionFileName << "\"\n";
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
    MinisignSecretKey signKey;
    qint64 previousTime = -1;
    if (!signKeyPath.isEmpty()) {
        if (!loadSecretKey(signKeyPath, &signKey))
            return 2;
        if (const int code = checkCurrentSignature(cdnDir, versionFileName, signKey, &previousTime))
            return code;
    } else if (QFile::exists(signaturePath)) {
        err() << "kv-publish: " << versionPath
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
            md5 = fileMd5(e.target);
            size = QFileInfo(e.target).size();
            if (md5.isEmpty())
                return 1;
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
    // file names it.
    const QByteArray text = VersionTable::format(records.values());
    QString signedNote;
    if (signKey.isValid()) {
        // Later than the previous release even if this machine's clock is behind: launchers refuse older
        // ones.
        const qint64 time = qMax(QDateTime::currentSecsSinceEpoch(), previousTime + 1);
        const QByteArray comment =
            "timestamp:" + QByteArray::number(time) + "\tfile:" + versionFileName.toUtf8() + "\thashed";
        const QByteArray signature =
            signKey.sign(text, comment).toFile("signature from kv-publish secret key");
        const ReleaseVerifier::Result check =
            ReleaseVerifier(QString::fromLatin1(signKey.publicKey().toBase64()))
                .verify(text, signature, -1, versionFileName);
        if (!check.ok) {
            err() << "kv-publish: the new signature does not verify (" << check.reason << ")\n";
            return 1;
        }
        if (!succeeded(staging.write(QFileInfo(signaturePath).fileName(), signature)))
            return 1;
        signedNote = QStringLiteral("signed ") + versionPath + QStringLiteral(" with key ") +
                     MinisignPublicKey::keyIdText(signKey.publicKey().keyId()) +
                     QStringLiteral(", release time ") + QString::number(time);
    }
    if (!succeeded(staging.write(versionFileName, text)) || !succeeded(staging.putInPlace()))
        return 1;
    progress.clear();
    for (const QString &line : qAsConst(published))
        out() << line << "\n";
    if (!signedNote.isEmpty())
        out() << signedNote << "\n";
    out() << "wrote " << versionPath << " (" << records.size() << " entries)\n";
    return 0;
}
