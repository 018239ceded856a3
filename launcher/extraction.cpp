// Extraction of the downloaded archives, one at a time on a worker thread.
#include "launcher/launcherupdater.h"
#include "platform/filenamerules.h"

#include "archive/unziparchive.h"
#include "download/versiontable.h"
#include "launcher/ui_launcherupdater.h"
#include "platform/platform.h"
#include "workflow/labelargs.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <QtConcurrent>

#include <atomic>
#include <memory>

void LauncherUpdater::prepareExtraction() {
    for (const QString &name : configSettings->extractionMarks()) {
        // config.ini is a plain file anyone can edit: a mark must name a file of this directory.
        if (!FileNameRules::isSafeFileName(name)) {
            qDebug().noquote() << "ignoring extraction mark outside the launcher directory: " + name;
            clearExtractionMark(name);
            continue;
        }
        if (!archivesToExtract.contains(name))
            archivesToExtract.append(name);
    }

    extractTotal = archivesToExtract.size();
    if (extractTotal > 0) {
        ui->gameSrcDownloadInfo->setVisible(true);
        ui->gameSrcProgressBar->setVisible(true);
    }
    isDownloading = true;
    extracting = true;
    extractNextArchive();
}

// A name the version file no longer lists keeps nothing: its extraction mark would unpack an old
// archive over the new release's files, and its installed version would stay in "config.ini" for
// good. An archive of such a name still on disk goes too; any other file stays where it is.
void LauncherUpdater::forgetUnlistedFiles() {
    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    QStringList names = configSettings->extractionMarks();
    for (const QString &name : configSettings->installedNames()) {
        if (!names.contains(name))
            names.append(name);
    }
    for (const QString &name : qAsConst(names)) {
        if (table.contains(name))
            continue;
        qDebug().noquote() << "dropping the record of a file no longer listed: " + name;
        configSettings->forget(name);
        const QString path = QStringLiteral("%1/%2").arg(Platform::launcherDir(), name);
        if (name.endsWith(QLatin1String(".zip")) && FileNameRules::isSafeFileName(name) &&
            QFileInfo::exists(path) && !QFile::remove(path))
            qWarning() << "cannot remove archive no longer listed" << path;
    }
}

// A launcher stopped between clearing an archive's mark and deleting it leaves the archive on disk
// with its contents in place: recorded at the listed version and unmarked, it only goes away.
void LauncherUpdater::removeUnpackedArchives() {
    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const RemoteFileInfo &e = it.value();
        if (!e.name.endsWith(QLatin1String(".zip")) || installedVersion(e.name) != e.version ||
            configSettings->hasExtractionMark(e.name))
            continue;
        const QString path = QStringLiteral("%1/%2").arg(Platform::launcherDir(), e.name);
        if (QFileInfo::exists(path)) {
            qDebug().noquote() << "removing unpacked archive left behind: " + e.name;
            QFile::remove(path);
        }
    }
}

void LauncherUpdater::extractNextArchive() {
    if (archivesToExtract.isEmpty()) {
        qDebug() << "uncompress finished";
        isDownloading = false;
        extracting = false;
        ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("UPDATE_FINISHED"), true, true);
        ui->gameSrcProgressBar->setVisible(false);
        // The caption is set again: whatever it showed before, the button now starts the game.
        ui->startGameBtn->setVisible(true);
        ui->startGameBtn->setTextKey(QStringLiteral("START_GAME"));
        ui->startGameBtn->setEnabled(true);
        gameState = 2;
        QJsonObject event;
        event.insert(QStringLiteral("event"), QStringLiteral("enable game btn"));
        sendLogEvent(event);
        return;
    }

    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("%1 %2/%3"), false, true);
    ui->gameSrcDownloadInfo->setArgs({LabelArgs::key(QStringLiteral("UNCOMPRESS")),
                                      LabelArgs::number(extractedCount + 1),
                                      LabelArgs::number(extractTotal)});
    ui->gameSrcProgressBar->setProgress(float(extractedCount + 1) * 100.0f / float(extractTotal));

    const QString name = archivesToExtract.takeFirst();
    const QString dir = Platform::launcherDir();
    const QString path = QStringLiteral("%1/%2").arg(dir, name);

    // The worker gets the directory as a value: it touches nothing of the window. It also notes
    // whether the archive brings the game executable, so that a game that cannot start later
    // knows which download repairs it.
    const QString game = gameExecutableName();
    auto bringsGame = std::make_shared<std::atomic<bool>>(false);
    // Why it failed, written by the worker before its result is delivered.
    auto failure = std::make_shared<QString>();
    QFuture<bool> future =
        QtConcurrent::run(QThreadPool::globalInstance(), [path, dir, game, bringsGame, failure]() {
            bringsGame->store(archiveHasEntry(path, game));
            const Result<ExtractError> result = extractArchive(path, dir);
            *failure = result.reason();
            return result.ok();
        });
    auto *watcher = new QFutureWatcher<bool>(this);
    connect(watcher, &QFutureWatcher<bool>::finished, this,
            [this, name, path, watcher, bringsGame, failure]() {
                if (bringsGame->load() && watcher->result())
                    configSettings->setGameArchive(name);
                extractionFailure = *failure;
                onArchiveExtracted(name, path, watcher);
            });
    watcher->setFuture(future);
}

void LauncherUpdater::onArchiveExtracted(const QString &name, const QString &path,
                                         QFutureWatcher<bool> *watcher) {
    const bool ok = watcher->result();
    watcher->deleteLater();

    if (ok) {
        qDebug() << "uncompress successfully.";
        ++extractedCount;
        // The mark goes before the archive: a launcher killed in between finds an extracted
        // archive still on disk (harmless), never a mark for an archive that is gone.
        clearExtractionMark(name);
        QFile::remove(path);
        extractNextArchive();
        return;
    }

    qDebug() << "uncompress failed.";
    configSettings->forget(name);
    QFile::remove(path);
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("UNCOMPRESS_FAILED"), true, true);
    QJsonObject event;
    event.insert(QStringLiteral("file"), name);
    event.insert(QStringLiteral("event"), QStringLiteral("uncompress failed"));
    if (!extractionFailure.isEmpty())
        event.insert(QStringLiteral("reason"), extractionFailure);
    sendLogEvent(event);
}

void LauncherUpdater::clearExtractionMark(const QString &name) {
    configSettings->clearExtractionMark(name);
}
