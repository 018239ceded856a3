#include "workflow/archiveextraction.h"

#include "archive/archivepatcher.h"
#include "archive/archivepatchfiles.h"
#include "archive/extractedfiles.h"
#include "archive/unziparchive.h"
#include "patch/zipindex.h"
#include "platform/filenamerules.h"
#include "trust/versiontable.h"
#include "workflow/labelargs.h"
#include "workflow/launcherconfig.h"
#include "workflow/poolfuture.h"
#include "workflow/roomshortage.h"

#include <QDebug>
#include <QFile>

namespace {

// The update of an unpacked archive fetched by its changed entries: the index saved when it was
// planned (checked against its listed digest again), the plan, and the fetched entries.
Result<ExtractError> applyUpdate(const QString &dir, const QString &name, const QString &version,
                                 const RemoteFileInfo &listed, std::vector<InstalledEntry> *installed,
                                 qint64 *missingRoom, ArchivePatchPlan *plan) {
    const auto damaged = [&name](const QString &why) {
        qWarning().noquote() << "cannot update the unpacked archive" << name << "-" << why;
        return Result<ExtractError>(ExtractError::Damaged, QStringLiteral("%1: %2").arg(name, why));
    };
    if (listed.version != version)
        return damaged(QStringLiteral("its update is for version %1, the version file lists %2")
                           .arg(version, listed.version));
    QFile indexFile(ArchivePatchFiles::indexPath(dir, name));
    if (!indexFile.open(QIODevice::ReadOnly) || indexFile.size() > ZipIndex::MaxIndexSize)
        return damaged(QStringLiteral("its entry index %1 cannot be read").arg(indexFile.fileName()));
    ZipIndex index;
    const Result<ZipIndex::Error> parsed =
        ZipIndex::parse(indexFile.readAll(), listed.size, listed.mapDigest, &index);
    if (!parsed.ok())
        return damaged(parsed.reason());
    QFile planFile(ArchivePatchFiles::planPath(dir, name));
    if (!planFile.open(QIODevice::ReadOnly) || planFile.size() > ArchivePatchPlan::MaxPlanBytes)
        return damaged(QStringLiteral("its plan %1 cannot be read").arg(planFile.fileName()));
    const Result<ArchivePatchPlan::Error> planned =
        ArchivePatchPlan::fromBytes(planFile.readAll(), index, listed.mapDigest, plan);
    if (!planned.ok())
        return damaged(planned.reason());
    return ArchivePatcher::apply(dir, index, *plan, ArchivePatchFiles::fetchedPath(dir, name), installed,
                                 missingRoom, ArchivePatchFiles::peerFolder(dir, name));
}

bool installsFile(const std::vector<InstalledEntry> &installed, const QString &file) {
    for (const InstalledEntry &e : installed) {
        if (e.name.compare(file, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

ArchiveExtraction::ArchiveExtraction(const WorkflowSetup &setup, LauncherConfig *config, QObject *parent)
    : WorkflowPart(parent)
    , setup(setup)
    , config(config) {}

int ArchiveExtraction::prepareExtraction(const QStringList &downloaded) {
    archivesToExtract = downloaded;
    for (const QString &name : config->extractionMarks()) {
        // config.ini is a plain file anyone can edit: a mark must name a file of this directory.
        if (!FileNameRules::isSafeFileName(name)) {
            qDebug().noquote() << "ignoring extraction mark outside the launcher directory: " + name;
            config->clearExtractionMark(name);
            continue;
        }
        if (!archivesToExtract.contains(name))
            archivesToExtract.append(name);
    }
    extractionTotal = archivesToExtract.size();
    return extractionTotal;
}

void ArchiveExtraction::extractNextArchive() {
    if (archivesToExtract.isEmpty()) {
        qDebug() << "uncompress finished";
        emit status(WorkflowStatus::GameLine, WorkflowStatus::text(QStringLiteral("UPDATE_FINISHED")));
        emit finished();
        QJsonObject enabled;
        enabled.insert(QStringLiteral("event"), QStringLiteral("enable game btn"));
        emit event(enabled);
        return;
    }

    emit status(
        WorkflowStatus::GameLine,
        WorkflowStatus::pattern(QStringLiteral("%1 %2/%3"),
                                {LabelArgs::key(QStringLiteral("UNCOMPRESS")),
                                 LabelArgs::number(extracted + 1), LabelArgs::number(extractionTotal)}));
    emit progress(WorkflowStatus::GameBar, float(extracted + 1) * 100.0f / float(extractionTotal));

    const QString name = archivesToExtract.takeFirst();
    const QString dir = setup.folder;
    const QString path = QStringLiteral("%1/%2").arg(dir, name);

    // The worker gets the directory as a value: it touches nothing else. It also notes whether the
    // archive brings the game executable, so that a game that cannot start later knows which
    // download repairs it.
    const QString game = gameExecutableName();
    const QString version = config->installedVersion(name);
    const RemoteFileInfo listed = VersionTable::instance().value(name);
    // The index listed beside the version unpacked, for a later repair of single entries.
    const QString index = listed.version == version ? listed.mapDigest : QString();
    const QString record = ExtractedFiles::recordPath(dir, name);
    const bool update = ArchivePatchFiles::fetched(dir, name) && !QFile::exists(path);
    QFuture<Outcome> future =
        PoolFuture::run([path, dir, name, game, version, index, record, listed, update]() {
            Outcome outcome;
            std::vector<InstalledEntry> installed;
            if (update) {
                outcome.patched = true;
                outcome.result =
                    applyUpdate(dir, name, version, listed, &installed, &outcome.missingRoom, &outcome.plan);
                outcome.bringsGame = outcome.result.ok() && installsFile(installed, game);
            } else {
                outcome.bringsGame = archiveHasEntry(path, game);
                outcome.result = extractArchive(path, dir, &outcome.missingRoom, &installed);
            }
            // What the archive installed is kept for the checks of later starts, before the archive goes.
            if (outcome.result.ok())
                ExtractedFiles::of(version, index, installed, dir).save(record);
            return outcome;
        });
    auto *watcher = new QFutureWatcher<Outcome>(this);
    connect(watcher, &QFutureWatcher<Outcome>::finished, this, [this, name, path, watcher]() {
        const Outcome outcome = watcher->result();
        watcher->deleteLater();
        if (outcome.bringsGame && outcome.result.ok())
            config->setGameArchive(name);
        onArchiveExtracted(name, path, outcome);
    });
    watcher->setFuture(future);
}

void ArchiveExtraction::onArchiveExtracted(const QString &name, const QString &path, const Outcome &outcome) {
    if (outcome.result.ok()) {
        qDebug() << "uncompress successfully.";
        ++extracted;
        // The mark goes before the archive: a launcher killed in between finds an extracted
        // archive still on disk (harmless), never a mark for an archive that is gone.
        config->clearExtractionMark(name);
        QFile::remove(path);
        if (outcome.patched) {
            ArchivePatchFiles::removeUpdate(setup.folder, name);
            reportPatched(name, outcome.plan);
        }
        extractNextArchive();
        return;
    }

    if (outcome.result.code() == ExtractError::NoRoom) {
        // Downloaded and verified: it stays with its mark and its version, and is the first to be
        // unpacked at the next try. Fetching it again would not make room.
        qWarning().noquote() << "not enough disk space to uncompress, archive kept:" << name << "needs"
                             << outcome.missingRoom << "more bytes -" << outcome.result.reason();
        archivesToExtract.prepend(name);
        emit status(WorkflowStatus::GameLine, RoomShortage::text(outcome.missingRoom, roomShortShown));
        roomShortShown = true;
        emit event(RoomShortage::event(outcome.missingRoom, name, outcome.result.reason()));
        emit shortOfRoom(outcome.missingRoom);
        return;
    }

    qDebug() << "uncompress failed.";
    config->forget(name);
    QFile::remove(path);
    // The next try plans the update again from what is installed then: the entries that did not
    // arrive sound are fetched again, not the whole archive.
    ArchivePatchFiles::removeUpdate(setup.folder, name);
    emit status(WorkflowStatus::GameLine, WorkflowStatus::text(QStringLiteral("UNCOMPRESS_FAILED")));
    QJsonObject uncompressFailed;
    uncompressFailed.insert(QStringLiteral("file"), name);
    uncompressFailed.insert(QStringLiteral("event"), QStringLiteral("uncompress failed"));
    if (!outcome.result.reason().isEmpty())
        uncompressFailed.insert(QStringLiteral("reason"), outcome.result.reason());
    emit event(uncompressFailed);
    emit failed();
}

void ArchiveExtraction::reportPatched(const QString &name, const ArchivePatchPlan &plan) {
    const ArchivePatchPlan::Counts kept = plan.kept(), copied = plan.copied(), fetched = plan.fetched(),
                                   fromPeers = plan.fromPeers();
    qInfo().noquote() << QStringLiteral(
                             "archive patched: %1, %2 entries kept (%3 bytes), %4 copied (%5 bytes), "
                             "%6 fetched (%7 bytes unpacked, %8 bytes fetched), %9 from launchers nearby "
                             "(%10 bytes)")
                             .arg(name)
                             .arg(kept.entries)
                             .arg(kept.bytes)
                             .arg(copied.entries)
                             .arg(copied.bytes)
                             .arg(fetched.entries)
                             .arg(fetched.bytes)
                             .arg(plan.fetchBytes())
                             .arg(fromPeers.entries)
                             .arg(fromPeers.bytes);
    QJsonObject patched;
    patched.insert(QStringLiteral("file"), name);
    patched.insert(QStringLiteral("event"), QStringLiteral("archive patched"));
    patched.insert(QStringLiteral("kept"), kept.entries);
    patched.insert(QStringLiteral("keptBytes"), double(kept.bytes));
    patched.insert(QStringLiteral("copied"), copied.entries);
    patched.insert(QStringLiteral("copiedBytes"), double(copied.bytes));
    patched.insert(QStringLiteral("fetched"), fetched.entries);
    patched.insert(QStringLiteral("fetchedBytes"), double(plan.fetchBytes()));
    patched.insert(QStringLiteral("peerEntries"), fromPeers.entries);
    patched.insert(QStringLiteral("peerBytes"), double(fromPeers.bytes));
    emit event(patched);
}
