#include "workflow/predownloadfolder.h"

#include "core/atomicfile.h"
#include "download/resumerecord.h"
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

QMap<QString, RemoteFileInfo> listed(const QString &folder) {
    return readLines(PreDownloadFolder::listPath(folder));
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

bool writeList(const QString &folder, const QMap<QString, RemoteFileInfo> &lines) {
    return writeLines(PreDownloadFolder::listPath(folder), lines);
}

// The name a file of the folder belongs to: itself, or the file whose partial file or record it is.
QString ownerOf(const QString &fileName) {
    for (const char *suffix : {ResumeRecord::PartialSuffix, ResumeRecord::RecordSuffix}) {
        const int at = fileName.indexOf(QLatin1String(suffix));
        if (at > 0)
            return fileName.left(at);
    }
    return fileName;
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

QMap<QString, RemoteFileInfo> PreDownloadFolder::completeFiles(const QString &folder) {
    QMap<QString, RemoteFileInfo> lines = listed(folder);
    for (auto it = lines.begin(); it != lines.end();) {
        const QFileInfo copy(path(folder) + QLatin1Char('/') + it.key());
        if (copy.isFile() && !copy.isSymLink() && copy.size() == it->size)
            ++it;
        else
            it = lines.erase(it);
    }
    return lines;
}

bool PreDownloadFolder::addComplete(const QString &folder, const RemoteFileInfo &line) {
    QMap<QString, RemoteFileInfo> lines = listed(folder);
    lines.insert(line.name, line);
    return writeList(folder, lines);
}

QMap<QString, RemoteFileInfo> PreDownloadFolder::coming(const QString &folder) {
    return readLines(comingPath(folder));
}

bool PreDownloadFolder::setComing(const QString &folder, const QMap<QString, RemoteFileInfo> &lines) {
    return writeLines(comingPath(folder), lines);
}

bool PreDownloadFolder::handOver(const QString &gameFolder, const RemoteFileInfo &line,
                                 const QMap<QString, RemoteFileInfo> &complete) {
    if (!FileNameRules::isSafeFileName(line.name))
        return false;
    const auto it = complete.constFind(line.name);
    if (it == complete.cend() || !sameLine(*it, line))
        return false;
    const QString copy = path(gameFolder) + QLatin1Char('/') + line.name;
    const QString target = gameFolder + QLatin1Char('/') + line.name;
    // Whatever an earlier download of the file left goes: the copy is whole.
    ResumeRecord::discard(target);
    if (!QFile::rename(copy, ResumeRecord::partialPath(target))) {
        qWarning() << "cannot move the pre-downloaded file into place" << copy;
        return false;
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
        return false;
    }
    qDebug().noquote() << "taking the pre-downloaded " + line.name + " " + line.version;
    return true;
}

void PreDownloadFolder::keepOnly(const QString &folder, const QMap<QString, RemoteFileInfo> &keep) {
    const QString dir = path(folder);
    if (!QFileInfo(dir).isDir())
        return;
    const QMap<QString, RemoteFileInfo> complete = completeFiles(folder);
    QMap<QString, RemoteFileInfo> stillComplete;
    QDirIterator files(dir, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (files.hasNext()) {
        const QString filePath = files.next();
        const QString fileName = files.fileName();
        if (fileName == QLatin1String(ListName) || fileName == QLatin1String(ComingName))
            continue;
        const QString owner = ownerOf(fileName);
        const auto wanted = keep.constFind(owner);
        bool kept = false;
        if (wanted != keep.cend() && !files.fileInfo().isSymLink() && files.fileInfo().isFile()) {
            if (owner == fileName) {
                kept = complete.contains(owner) && sameLine(complete.value(owner), *wanted);
                if (kept)
                    stillComplete.insert(owner, complete.value(owner));
            } else {
                ResumeRecord record;
                kept = ResumeRecord::load(dir + QLatin1Char('/') + owner, *wanted, &record).ok();
            }
        }
        if (kept)
            continue;
        qDebug().noquote() << "removing from the pre-download: " + fileName;
        if (files.fileInfo().isDir() && !files.fileInfo().isSymLink())
            QDir(filePath).removeRecursively();
        else
            QFile::remove(filePath);
    }
    if (stillComplete.size() != complete.size() || listed(folder).size() != stillComplete.size())
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
