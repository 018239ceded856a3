#include "workflow/diskadoption.h"

#include "archive/extractedfiles.h"
#include "archive/unziparchive.h"
#include "core/filedigest.h"
#include "patch/zipindex.h"
#include "platform/filenamerules.h"
#include "trust/versiontable.h"
#include "workflow/archiveextraction.h"
#include "workflow/installedgame.h"
#include "workflow/labelargs.h"
#include "workflow/launcherconfig.h"
#include "workflow/poolfuture.h"
#include "workflow/unpackroom.h"
#include "workflow/workflowsetup.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>

struct DiskAdoption::Named {
    QList<Job> jobs;
    QHash<QString, QVector<Entry>> entries;
    QSet<QString> bringingGame;
};

namespace {

// A regular file of its own: a link planted under a listed name is never taken for the file.
bool isPlainFile(const QFileInfo &info) {
    return info.isFile() && !info.isSymLink();
}

DiskAdoption::Job hashJob(DiskAdoption::Job job) {
    const QFileInfo info(job.path);
    job.seenMs = info.lastModified().toMSecsSinceEpoch();
    const auto progress = [&job](qint64 n) {
        job.progress->hashedBytes += n;
        return !job.progress->cancelled.load();
    };
    const Result<FileDigest::Error> read = job.entry.isEmpty()
                                               ? FileDigest::md5Hex(job.path, &job.digest, progress)
                                               : ExtractedFiles::digestOf(job.path, &job.digest, progress);
    if (!read.ok()) {
        if (read.code() != FileDigest::Error::Stopped)
            qWarning().noquote() << "cannot hash file found on the disk" << job.path << read.reason();
        job.digest.clear();
        job.seenMs = -1;
    }
    return job;
}

} // namespace

DiskAdoption::DiskAdoption(const QString &folder, LauncherConfig *config, UnpackRoom *room, int refreshMs,
                           QObject *parent)
    : WorkflowPart(parent)
    , folder(folder)
    , config(config)
    , room(room)
    , refresh(new QTimer(this)) {
    refresh->setInterval(refreshMs);
    connect(refresh, &QTimer::timeout, this, &DiskAdoption::showProgress);
}

DiskAdoption::~DiskAdoption() {
    cancel();
}

bool DiskAdoption::start(const QSet<QString> &skip) {
    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    progressShared = std::make_shared<InstallCheck::Progress>();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const RemoteFileInfo &e = it.value();
        if (e.name == QLatin1String(LauncherFileName) || skip.contains(e.name) ||
            !config->installedVersion(e.name).isEmpty() || !FileNameRules::isSafeFileName(e.name))
            continue;
        const QString path = QStringLiteral("%1/%2").arg(folder, e.name);
        const QFileInfo info(path);
        if (isPlainFile(info) && info.size() == e.size) {
            plain.append({e.name, QString(), path, e.size, -1, QByteArray(), progressShared});
        } else if (isPlainFile(info)) {
            // Another size: not this version, but its blocks may serve the update.
            differing.insert(e.name);
        } else if (!info.exists() && ZipIndex::wantsIndex(e.name) && !e.mapDigest.isEmpty()) {
            archives.append(e.name);
        }
    }
    if (plain.isEmpty() && archives.isEmpty())
        return false;
    qDebug() << "looking at files on the disk without a record" << plain.size() << "files" << archives.size()
             << "archives";
    showProgress();
    refresh->start();
    if (archives.isEmpty()) {
        hashFiles(Named());
        return true;
    }
    QList<RemoteFileInfo> listed;
    for (const QString &name : qAsConst(archives))
        listed.append(table.value(name));
    counting = connect(room, &UnpackRoom::counted, this, &DiskAdoption::indexesCounted);
    room->count(listed, QSet<QString>(archives.cbegin(), archives.cend()));
    return true;
}

void DiskAdoption::cancel() {
    disconnect(counting);
    refresh->stop();
    if (progressShared)
        progressShared->cancelled.store(true);
    for (QFutureWatcherBase *watcher : std::initializer_list<QFutureWatcherBase *>{finding, hashing}) {
        if (!watcher)
            continue;
        watcher->disconnect(this);
        watcher->cancel();
        // The workers see the flag within one block; none may outlive what they report to.
        watcher->waitForFinished();
    }
    finding = nullptr;
    hashing = nullptr;
}

void DiskAdoption::indexesCounted() {
    disconnect(counting);
    QHash<QString, QByteArray> had;
    QHash<QString, RemoteFileInfo> listed;
    for (const QString &name : qAsConst(archives)) {
        const QByteArray bytes = room->takeIndex(name);
        if (!bytes.isEmpty()) {
            had.insert(name, bytes);
            listed.insert(name, VersionTable::instance().value(name));
        }
    }
    indexes = had;
    finding = new QFutureWatcher<Named>(this);
    connect(finding, &QFutureWatcher<Named>::finished, this, [this] {
        const Named found = finding->result();
        finding->deleteLater();
        finding = nullptr;
        hashFiles(found);
    });
    // The indexes were checked against their listed digests already; reading thousands of entries
    // and looking each up on the disk is still no work for the GUI thread.
    finding->setFuture(PoolFuture::run([had, listed, dir = folder, progress = progressShared] {
        Named found;
        const QString game = ArchiveExtraction::gameExecutableName();
        for (auto it = had.cbegin(); it != had.cend(); ++it) {
            const RemoteFileInfo &e = listed.value(it.key());
            ZipIndex index;
            if (!ZipIndex::parse(it.value(), e.size, e.mapDigest, &index).ok())
                continue;
            QVector<Entry> &names = found.entries[e.name];
            for (const ZipIndex::Entry &entry : index.entries()) {
                const QString name = FileNameRules::normalizedEntryName(entry.name);
                names.append({name, entry.hash});
                if (name.compare(game, Qt::CaseInsensitive) == 0)
                    found.bringingGame.insert(e.name);
                const QFileInfo info(QStringLiteral("%1/%2").arg(dir, name));
                if (isPlainFile(info))
                    found.jobs.append(
                        {e.name, name, info.filePath(), info.size(), -1, QByteArray(), progress});
            }
        }
        return found;
    }));
}

void DiskAdoption::hashFiles(const Named &found) {
    entries = found.entries;
    bringingGame = found.bringingGame;
    QList<Job> jobs = plain + found.jobs;
    totalBytes = 0;
    for (const Job &job : qAsConst(jobs))
        totalBytes += job.size;
    // The largest first: the last job to end is a small one, so the workers end together.
    std::stable_sort(jobs.begin(), jobs.end(), [](const Job &a, const Job &b) { return a.size > b.size; });
    hashing = new QFutureWatcher<Job>(this);
    connect(hashing, &QFutureWatcher<Job>::finished, this, &DiskAdoption::hashed);
    hashing->setFuture(PoolFuture::mapped(jobs, &hashJob));
}

void DiskAdoption::hashed() {
    const QList<Job> results = hashing->future().results();
    hashing->deleteLater();
    hashing = nullptr;
    refresh->stop();
    showProgress();

    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    QHash<QString, QList<Job>> byArchive;
    int adopted = 0;
    qint64 adoptedBytes = 0;
    for (const Job &job : results) {
        if (!job.entry.isEmpty()) {
            byArchive[job.name].append(job);
            continue;
        }
        const RemoteFileInfo &e = table[job.name];
        if (job.digest != e.md5.toLatin1()) {
            differing.insert(e.name);
            continue;
        }
        // An archive found whole is unpacked as if this run had fetched it.
        config->stageDownloaded(e.name, e.version, InstalledGame::isArchive(e.name));
        ++adopted;
        adoptedBytes += e.size;
    }
    QHash<QString, QByteArray> partly; // the indexes of archives updated by their entries
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        const QList<Job> files = byArchive.value(it.key());
        // Nothing of it on the disk: fetched whole, as a first install is.
        const Found found = files.isEmpty() ? NotRecorded : adoptArchive(it.key(), files);
        if (found == Whole) {
            ++adopted;
            adoptedBytes += table[it.key()].size;
        } else if (found == Partly) {
            partly.insert(it.key(), indexes.value(it.key()));
        }
    }
    indexes = partly;
    if (!config->recordStaged())
        qWarning() << "cannot record files found on the disk" << config->path();
    qDebug() << "files found on the disk recorded as installed" << adopted << adoptedBytes << "differing"
             << differing.size();
    if (adopted > 0) {
        QJsonObject event;
        event.insert(QStringLiteral("event"), QStringLiteral("files adopted"));
        event.insert(QStringLiteral("files"), adopted);
        event.insert(QStringLiteral("bytes"), double(adoptedBytes));
        event.insert(QStringLiteral("differing"), differing.size());
        emit this->event(event);
    }
    emit finished();
}

// All the archive's files hold their entries: it is recorded as unpacked. Some do: a record of what
// the files hold lets the update by entries keep them without hashing them again.
DiskAdoption::Found DiskAdoption::adoptArchive(const QString &name, const QList<Job> &files) {
    const RemoteFileInfo e = VersionTable::instance().value(name);
    const QVector<Entry> &wanted = entries.value(name);
    QHash<QString, const Job *> byName;
    for (const Job &job : files)
        byName.insert(job.entry, &job);
    std::vector<InstalledEntry> installed;
    int sound = 0;
    for (const Entry &entry : wanted) {
        const Job *job = byName.value(entry.name);
        if (job && job->digest == entry.hash)
            ++sound;
    }
    for (const Job &job : files) {
        if (!job.digest.isEmpty())
            installed.push_back({job.entry, quint64(job.size), job.digest, job.seenMs});
    }
    const bool all = sound == wanted.size() && !wanted.isEmpty();
    const Result<ExtractedFiles::Error> saved = ExtractedFiles::of(e.version, e.mapDigest, installed, folder)
                                                    .save(ExtractedFiles::recordPath(folder, name));
    if (!saved.ok()) {
        qWarning().noquote() << "cannot record files found on the disk" << name << saved.reason();
        return NotRecorded;
    }
    qDebug().noquote() << QStringLiteral(
                              "archive %1 found unpacked on the disk: %2 of %3 files hold their entries")
                              .arg(name)
                              .arg(sound)
                              .arg(wanted.size());
    if (!all)
        return Partly;
    room->forget(name);
    config->stageDownloaded(name, e.version, false);
    if (bringingGame.contains(name))
        config->setGameArchive(name);
    return Whole;
}

void DiskAdoption::showProgress() {
    const qint64 done = progressShared ? progressShared->hashedBytes.load() : 0;
    const int percent = totalBytes > 0 ? int(done * 100 / totalBytes) : 0;
    emit progress(WorkflowStatus::GameBar, float(percent));
    emit status(WorkflowStatus::GameLine,
                WorkflowStatus::text(QStringLiteral("ADOPTING_TIP"), {LabelArgs::number(percent)}));
}
