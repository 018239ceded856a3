#include "workflow/archiveextraction.h"

#include "archive/extractedfiles.h"
#include "archive/unziparchive.h"
#include "platform/filenamerules.h"
#include "trust/versiontable.h"
#include "workflow/labelargs.h"
#include "workflow/launcherconfig.h"
#include "workflow/poolfuture.h"
#include "workflow/roomshortage.h"

#include <QDebug>
#include <QFile>

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
    QFuture<Outcome> future = PoolFuture::run([path, dir, game, version, index, record]() {
        Outcome outcome;
        outcome.bringsGame = archiveHasEntry(path, game);
        std::vector<InstalledEntry> installed;
        outcome.result = extractArchive(path, dir, &outcome.missingRoom, &installed);
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
    emit status(WorkflowStatus::GameLine, WorkflowStatus::text(QStringLiteral("UNCOMPRESS_FAILED")));
    QJsonObject uncompressFailed;
    uncompressFailed.insert(QStringLiteral("file"), name);
    uncompressFailed.insert(QStringLiteral("event"), QStringLiteral("uncompress failed"));
    if (!outcome.result.reason().isEmpty())
        uncompressFailed.insert(QStringLiteral("reason"), outcome.result.reason());
    emit event(uncompressFailed);
    emit failed();
}
