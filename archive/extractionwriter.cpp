#include "archive/extractionwriter.h"

#include "archive/entrypermissions.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

QDebug log() {
    return qDebug().noquote().nospace();
}

} // namespace

ExtractionWriter::~ExtractionWriter() {
    discard(); // nothing left after commit()
}

bool ExtractionWriter::makeDirectory(const QString &dir) {
    // Under the lock: two threads making the same folder would both note it as created.
    std::lock_guard<std::mutex> lock(mutex);
    if (folders.contains(dir))
        return true;
    // Notes the folders that do not exist yet, so that a failed extraction can take them away again.
    std::vector<QString> missing;
    for (QString d = QDir::cleanPath(dir); !d.isEmpty() && !QFileInfo::exists(d);) {
        missing.push_back(d);
        const int slash = d.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0)
            break;
        d.truncate(slash);
    }
    bool made = true;
    if (missing.empty()) {
        made = QFileInfo(dir).isDir();
    } else {
        made = QDir().mkpath(dir);
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            if (QFileInfo(*it).isDir())
                created.push_back(*it);
        }
    }
    if (!made) {
        log() << "cannot create " << dir;
        return false;
    }
    folders.insert(dir);
    return true;
}

bool ExtractionWriter::canReplace(const QString &target) {
    const QFileInfo info(target);
    bool usable = !info.isDir();
    if (usable && info.exists() && !info.isSymLink()) {
        QFile probe(target);
        usable = probe.open(QIODevice::WriteOnly | QIODevice::Append);
    }
    if (!usable)
        log() << "cannot open target file " << target;
    return usable;
}

std::unique_ptr<QFile> ExtractionWriter::openStaging(const QString &target) {
    std::unique_ptr<QFile> file(new QFile(target + stagingSuffix));
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        log() << "cannot open target file " << file->fileName() << ", " << file->errorString();
        return nullptr;
    }
    return file;
}

bool ExtractionWriter::stage(std::unique_ptr<QFile> file, const QString &target, quint64 order,
                             unsigned long versionMadeBy, unsigned long externalAttributes) {
    file->close();
    const bool closed = file->error() == QFileDevice::NoError;
    const QString staged = file->fileName();
    file.reset();
    if (!closed) {
        log() << "cannot write target file " << target;
        QFile::remove(staged);
        return false;
    }
    if (!applyEntryPermissions(staged, versionMadeBy, externalAttributes))
        log() << "cannot set permissions of " << target;
    std::lock_guard<std::mutex> lock(mutex);
    stagedFiles.emplace_back(order, target);
    return true;
}

void ExtractionWriter::drop(std::unique_ptr<QFile> file) {
    if (!file)
        return;
    const QString staged = file->fileName();
    file.reset();
    QFile::remove(staged);
}

bool ExtractionWriter::commit() {
    // Staged as the threads finished them; moved in the archive's order.
    std::sort(stagedFiles.begin(), stagedFiles.end());
    std::vector<bool> hadTarget;
    hadTarget.reserve(stagedFiles.size());
    for (size_t i = 0; i < stagedFiles.size(); ++i) {
        const QString &target = stagedFiles[i].second;
        const QString backup = target + backupSuffix;
        const QFileInfo info(target);
        const bool had = info.exists() || info.isSymLink();
        // Left by an extraction killed while it replaced files, also between setting the old file
        // aside and moving the new one in (the target is missing then).
        QFile::remove(backup);
        if (had) {
            if (!QFile::rename(target, backup)) {
                log() << "cannot replace target file " << target;
                failure = QStringLiteral("cannot replace %1").arg(target);
                restore(i, hadTarget);
                return false;
            }
        }
        if (!QFile::rename(target + stagingSuffix, target)) {
            log() << "cannot replace target file " << target;
            failure = QStringLiteral("cannot replace %1").arg(target);
            if (had)
                QFile::rename(backup, target);
            restore(i, hadTarget);
            return false;
        }
        hadTarget.push_back(had);
    }
    for (size_t i = 0; i < stagedFiles.size(); ++i) {
        const QString backup = stagedFiles[i].second + backupSuffix;
        if (hadTarget[i] && !QFile::remove(backup))
            log() << "cannot remove " << backup;
    }
    stagedFiles.clear();
    created.clear();
    folders.clear();
    return true;
}

// Puts back the first `count` targets, which commit() had replaced, and drops everything staged.
void ExtractionWriter::restore(size_t count, const std::vector<bool> &hadTarget) {
    for (size_t i = count; i-- > 0;) {
        const QString &target = stagedFiles[i].second;
        QFile::remove(target);
        if (hadTarget[i] && !QFile::rename(target + backupSuffix, target))
            log() << "cannot restore " << target << " from " << target + backupSuffix;
    }
    stagedFiles.erase(stagedFiles.begin(), stagedFiles.begin() + std::ptrdiff_t(count));
    discard();
}

void ExtractionWriter::discard() {
    for (const auto &staged : stagedFiles)
        QFile::remove(staged.second + stagingSuffix);
    stagedFiles.clear();
    // Innermost first; a folder that holds anything else (an earlier file) stays.
    for (auto it = created.rbegin(); it != created.rend(); ++it)
        QDir().rmdir(*it);
    created.clear();
    folders.clear();
}

const QLatin1String ExtractionWriter::stagingSuffix(".kv-new");
const QLatin1String ExtractionWriter::backupSuffix(".kv-old");

bool ExtractionWriter::isReservedName(const QString &name) {
    QString last = name;
    while (last.endsWith(QLatin1Char('/')))
        last.chop(1);
    return last.endsWith(stagingSuffix, Qt::CaseInsensitive) ||
           last.endsWith(backupSuffix, Qt::CaseInsensitive);
}
