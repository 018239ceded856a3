#include "workflow/predownloadfolder.h"

#include "archive/archivepatchfiles.h"
#include "archive/archivepatchplan.h"
#include "core/atomicfile.h"
#include "download/resumerecord.h"
#include "patch/zipindex.h"
#include "platform/filenamerules.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace {

const char *const FolderName = "kestrivane-predownload";
const char *const ListName = ".kestrivane-complete";
const char *const ComingName = ".kestrivane-coming";
const char *const EntriesKind = "entries";

using Complete = PreDownloadFolder::Complete;

QString comingPath(const QString &folder) {
    return PreDownloadFolder::path(folder) + QLatin1Char('/') + QLatin1String(ComingName);
}

// The lines of a list file as written, without looking at the files.
QMap<QString, RemoteFileInfo> readLines(const QString &path) {
    QMap<QString, RemoteFileInfo> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    const QByteArray text = file.read(VersionTable::MaxVersionFileSize + 1);
    QString refused;
    if (text.size() > VersionTable::MaxVersionFileSize || !VersionTable::parseFile(text, &lines, &refused)) {
        qWarning().noquote() << "pre-download record unreadable, its files are fetched again: " + path +
                                    ": " + refused.left(120);
        lines.clear();
    }
    return lines;
}

// The list of complete files as written, with the kind of each.
QMap<QString, Complete> listed(const QString &folder) {
    QMap<QString, Complete> entries;
    const QMap<QString, RemoteFileInfo> lines = readLines(PreDownloadFolder::listPath(folder));
    if (lines.isEmpty())
        return entries;
    QFile file(PreDownloadFolder::listPath(folder));
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    for (const QString &text : QString::fromUtf8(file.read(VersionTable::MaxVersionFileSize)).split('\n')) {
        const QStringList fields = text.trimmed().split(QLatin1Char(':'));
        const auto line = lines.constFind(fields.first());
        if (line == lines.cend())
            continue;
        Complete &c = entries[line.key()];
        c = Complete();
        c.line = *line;
        c.entries = fields.size() > 6 && fields.at(5) == QLatin1String(EntriesKind);
        if (c.entries)
            c.base = fields.at(6);
    }
    return entries;
}

bool writeLines(const QString &path, const QMap<QString, RemoteFileInfo> &lines) {
    QList<RemoteFileInfo> records;
    for (RemoteFileInfo line : lines) {
        line.downloadedBytes = 0;
        line.data.clear();
        records << line;
    }
    const Result<AtomicFile::Error> written = AtomicFile::write(path, VersionTable::format(records), true);
    if (!written.ok())
        qWarning() << "cannot write the pre-download record" << path;
    return written.ok();
}

bool writeList(const QString &folder, const QMap<QString, Complete> &entries) {
    QByteArray text;
    for (const Complete &c : entries) {
        RemoteFileInfo line = c.line;
        line.downloadedBytes = 0;
        line.data.clear();
        text += VersionTable::format({line});
        if (c.entries)
            text.insert(text.size() - 1,
                        (QLatin1Char(':') + QLatin1String(EntriesKind) + QLatin1Char(':') + c.base).toUtf8());
    }
    const QString path = PreDownloadFolder::listPath(folder);
    const Result<AtomicFile::Error> written = AtomicFile::write(path, text, true);
    if (!written.ok())
        qWarning() << "cannot write the pre-download record" << path;
    return written.ok();
}

// The name a file of the folder belongs to: itself, or the file whose partial file or record it is.
// An archive's staged update belongs to the archive.
QString ownerOf(const QString &fileName) {
    const QString archive = ArchivePatchFiles::archiveOf(fileName);
    if (!archive.isEmpty())
        return archive;
    for (const char *suffix : {ResumeRecord::PartialSuffix, ResumeRecord::RecordSuffix}) {
        const int at = fileName.indexOf(QLatin1String(suffix));
        if (at > 0)
            return fileName.left(at);
    }
    return fileName;
}

bool isPlainFile(const QString &path) {
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink();
}

QByteArray readBounded(const QString &path, qint64 limit) {
    QFile file(path);
    if (!isPlainFile(path) || file.size() > limit || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Why a staged update of `line` planned against `base` cannot be taken for the installed version
// `installed`; empty when it can.
QString unfit(const QString &dir, const RemoteFileInfo &line, const Complete &c, const QString &installed) {
    if (c.line.mapDigest != line.mapDigest || line.mapDigest.isEmpty())
        return QStringLiteral("its index digest %1 is not the listed %2")
            .arg(c.line.mapDigest, line.mapDigest);
    if (installed.isEmpty() || c.base != installed)
        return QStringLiteral("it was planned from version %1, version %2 is installed")
            .arg(c.base, installed);
    ZipIndex index;
    const Result<ZipIndex::Error> parsed =
        ZipIndex::parse(readBounded(ArchivePatchFiles::indexPath(dir, line.name), ZipIndex::MaxIndexSize),
                        line.size, line.mapDigest, &index);
    if (!parsed.ok())
        return parsed.reason();
    ArchivePatchPlan plan;
    const Result<ArchivePatchPlan::Error> planned = ArchivePatchPlan::fromBytes(
        readBounded(ArchivePatchFiles::planPath(dir, line.name), ArchivePatchPlan::MaxPlanBytes), index,
        line.mapDigest, &plan);
    if (!planned.ok())
        return planned.reason();
    const QString fetched = ArchivePatchFiles::fetchedPath(dir, line.name);
    if (!isPlainFile(fetched) || QFileInfo(fetched).size() != plan.fetchBytes())
        return QStringLiteral("its fetched entries %1 are not the %2 bytes planned")
            .arg(fetched)
            .arg(plan.fetchBytes());
    return QString();
}

// Moves the staged update beside the archive; on failure nothing of it is left there.
bool moveUpdate(const QString &dir, const QString &gameFolder, const QString &name) {
    const QString whole = gameFolder + QLatin1Char('/') + name;
    // The update is unpacked from its fetched entries only where no whole archive lies.
    if (QFileInfo::exists(whole) && !QFile::remove(whole)) {
        qWarning() << "cannot remove an older copy of the archive" << whole;
        return false;
    }
    ResumeRecord::discard(whole);
    ArchivePatchFiles::removeUpdate(gameFolder, name);
    using PathOf = QString (*)(const QString &, const QString &);
    for (PathOf pathOf :
         {&ArchivePatchFiles::indexPath, &ArchivePatchFiles::planPath, &ArchivePatchFiles::fetchedPath}) {
        const QString target = pathOf(gameFolder, name);
        QFile::remove(target);
        if (!QFile::rename(pathOf(dir, name), target)) {
            qWarning() << "cannot move the pre-downloaded update into place" << target;
            ArchivePatchFiles::removeUpdate(gameFolder, name);
            return false;
        }
    }
    return true;
}

} // namespace

bool PreDownloadFolder::sameLine(const RemoteFileInfo &a, const RemoteFileInfo &b) {
    return a.name == b.name && a.version == b.version && a.md5.compare(b.md5, Qt::CaseInsensitive) == 0 &&
           a.size == b.size;
}

QString PreDownloadFolder::path(const QString &folder) {
    return folder + QLatin1Char('/') + QLatin1String(FolderName);
}

QString PreDownloadFolder::listPath(const QString &folder) {
    return path(folder) + QLatin1Char('/') + QLatin1String(ListName);
}

QMap<QString, Complete> PreDownloadFolder::complete(const QString &folder) {
    const QString dir = path(folder);
    QMap<QString, Complete> entries = listed(folder);
    for (auto it = entries.begin(); it != entries.end();) {
        const QString &name = it.key();
        const bool there = it->entries ? isPlainFile(ArchivePatchFiles::indexPath(dir, name)) &&
                                             isPlainFile(ArchivePatchFiles::planPath(dir, name)) &&
                                             isPlainFile(ArchivePatchFiles::fetchedPath(dir, name))
                                       : isPlainFile(dir + QLatin1Char('/') + name) &&
                                             QFileInfo(dir + QLatin1Char('/') + name).size() == it->line.size;
        it = there ? std::next(it) : entries.erase(it);
    }
    return entries;
}

QMap<QString, RemoteFileInfo> PreDownloadFolder::completeFiles(const QString &folder) {
    QMap<QString, RemoteFileInfo> lines;
    for (const Complete &c : complete(folder))
        lines.insert(c.line.name, c.line);
    return lines;
}

bool PreDownloadFolder::addComplete(const QString &folder, const RemoteFileInfo &line) {
    QMap<QString, Complete> entries = listed(folder);
    entries.insert(line.name, {line, false, QString()});
    return writeList(folder, entries);
}

bool PreDownloadFolder::addStaged(const QString &folder, const RemoteFileInfo &line, const QString &base) {
    // A version that would break the line is never one the game's update can match.
    if (line.mapDigest.isEmpty() || base.isEmpty() || base.contains(QLatin1Char(':')) ||
        base.contains(QLatin1Char('\n')) || base.contains(QLatin1Char('\r')))
        return false;
    QMap<QString, Complete> entries = listed(folder);
    entries.insert(line.name, {line, true, base});
    return writeList(folder, entries);
}

QMap<QString, RemoteFileInfo> PreDownloadFolder::coming(const QString &folder) {
    return readLines(comingPath(folder));
}

bool PreDownloadFolder::setComing(const QString &folder, const QMap<QString, RemoteFileInfo> &lines) {
    return writeLines(comingPath(folder), lines);
}

PreDownloadFolder::HandOver PreDownloadFolder::handOver(const QString &gameFolder, const RemoteFileInfo &line,
                                                        const QMap<QString, Complete> &complete,
                                                        const QString &installed) {
    if (!FileNameRules::isSafeFileName(line.name))
        return NotHandedOver;
    const auto it = complete.constFind(line.name);
    if (it == complete.cend() || !sameLine(it->line, line))
        return NotHandedOver;
    if (it->entries) {
        const QString dir = path(gameFolder);
        const QString why = unfit(dir, line, *it, installed);
        if (!why.isEmpty()) {
            qWarning().noquote() << "pre-downloaded update of " + line.name + " not taken: " + why;
            ArchivePatchFiles::removeAll(dir, line.name);
            return NotHandedOver;
        }
        if (!moveUpdate(dir, gameFolder, line.name))
            return NotHandedOver;
        qDebug().noquote() << "taking the pre-downloaded update of " + line.name + " " + line.version;
        return UpdateHandedOver;
    }
    const QString copy = path(gameFolder) + QLatin1Char('/') + line.name;
    const QString target = gameFolder + QLatin1Char('/') + line.name;
    // Whatever an earlier download of the file left goes: the copy is whole.
    ResumeRecord::discard(target);
    if (!QFile::rename(copy, ResumeRecord::partialPath(target))) {
        qWarning() << "cannot move the pre-downloaded file into place" << copy;
        return NotHandedOver;
    }
    ResumeRecord record(line.name, line.version, line.size, line.md5);
    record.setPresent(0, line.size);
    // Written in the plain form every launcher reads, without the sync of a record that keeps a
    // download's progress: a hundred files would hold the window for seconds.
    QFile recordFile(ResumeRecord::recordPath(target));
    const QByteArray bytes = record.toBytes();
    if (!recordFile.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        recordFile.write(bytes) != bytes.size() || !recordFile.flush()) {
        // Without its record the partial file is fetched again: nothing wrong is ever installed.
        qWarning() << "cannot record the pre-downloaded file" << target;
        return NotHandedOver;
    }
    qDebug().noquote() << "taking the pre-downloaded " + line.name + " " + line.version;
    return CopyHandedOver;
}

void PreDownloadFolder::keepOnly(const QString &folder, const QMap<QString, RemoteFileInfo> &keep) {
    const QString dir = path(folder);
    if (!QFileInfo(dir).isDir())
        return;
    const QMap<QString, Complete> done = complete(folder);
    QMap<QString, Complete> stillComplete;
    QDirIterator files(dir, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (files.hasNext()) {
        const QString filePath = files.next();
        const QString fileName = files.fileName();
        if (fileName == QLatin1String(ListName) || fileName == QLatin1String(ComingName))
            continue;
        const QString owner = ownerOf(fileName);
        const auto wanted = keep.constFind(owner);
        const auto finished = done.constFind(owner);
        const bool completeForWanted =
            wanted != keep.cend() && finished != done.cend() && sameLine(finished->line, *wanted);
        bool kept = false;
        if (wanted != keep.cend() && !files.fileInfo().isSymLink() && files.fileInfo().isFile()) {
            if (!ArchivePatchFiles::archiveOf(fileName).isEmpty()) {
                // A staged update under way is checked by its plan's id when it goes on.
                kept = finished == done.cend() || (completeForWanted && finished->entries);
            } else if (owner == fileName) {
                kept = completeForWanted && !finished->entries;
            } else {
                ResumeRecord record;
                kept = ResumeRecord::load(dir + QLatin1Char('/') + owner, *wanted, &record).ok();
            }
            if (kept && completeForWanted)
                stillComplete.insert(owner, *finished);
        }
        if (kept)
            continue;
        qDebug().noquote() << "removing from the pre-download: " + fileName;
        if (files.fileInfo().isDir() && !files.fileInfo().isSymLink())
            QDir(filePath).removeRecursively();
        else
            QFile::remove(filePath);
    }
    if (stillComplete.size() != done.size() || listed(folder).size() != stillComplete.size())
        writeList(folder, stillComplete);
}

void PreDownloadFolder::removeAll(const QString &folder) {
    const QString dir = path(folder);
    if (QFileInfo::exists(dir) && !QDir(dir).removeRecursively())
        qWarning() << "cannot remove the pre-download folder" << dir;
}

qint64 PreDownloadFolder::bytesOnDisk(const QString &folder) {
    qint64 total = 0;
    QDirIterator files(path(folder), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    while (files.hasNext()) {
        files.next();
        total += files.fileInfo().size();
    }
    return total;
}
