#include "workflow/archiveextraction.h"

#include "archive/unziparchive.h"
#include "platform/filenamerules.h"
#include "workflow/labelargs.h"
#include "workflow/launcherconfig.h"
#include "workflow/poolfuture.h"

#include <QDebug>
#include <QFile>

#include <atomic>
#include <memory>

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
    auto bringsGame = std::make_shared<std::atomic<bool>>(false);
    // Why it failed, written by the worker before its result is delivered.
    auto failure = std::make_shared<QString>();
    QFuture<bool> future = PoolFuture::run([path, dir, game, bringsGame, failure]() {
        bringsGame->store(archiveHasEntry(path, game));
        const Result<ExtractError> result = extractArchive(path, dir);
        *failure = result.reason();
        return result.ok();
    });
    auto *watcher = new QFutureWatcher<bool>(this);
    connect(watcher, &QFutureWatcher<bool>::finished, this,
            [this, name, path, watcher, bringsGame, failure]() {
                const bool ok = watcher->result();
                watcher->deleteLater();
                if (bringsGame->load() && ok)
                    config->setGameArchive(name);
                onArchiveExtracted(name, path, ok, *failure);
            });
    watcher->setFuture(future);
}

void ArchiveExtraction::onArchiveExtracted(const QString &name, const QString &path, bool ok,
                                           const QString &failure) {
    if (ok) {
        qDebug() << "uncompress successfully.";
        ++extracted;
        // The mark goes before the archive: a launcher killed in between finds an extracted
        // archive still on disk (harmless), never a mark for an archive that is gone.
        config->clearExtractionMark(name);
        QFile::remove(path);
        extractNextArchive();
        return;
    }

    qDebug() << "uncompress failed.";
    config->forget(name);
    QFile::remove(path);
    emit status(WorkflowStatus::GameLine, WorkflowStatus::text(QStringLiteral("UNCOMPRESS_FAILED")));
    QJsonObject uncompressFailed;
    uncompressFailed.insert(QStringLiteral("file"), name);
    uncompressFailed.insert(QStringLiteral("event"), QStringLiteral("uncompress failed"));
    if (!failure.isEmpty())
        uncompressFailed.insert(QStringLiteral("reason"), failure);
    emit event(uncompressFailed);
    emit failed();
}
