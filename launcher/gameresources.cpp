// Game-resource update: installed versions, the download manager, progress, pause and resume.
#include "launcher/launcherupdater.h"

#include "download/versiontable.h"
#include "download/xdmanager.h"
#include "launcher/ui_launcherupdater.h"
#include "platform/platform.h"
#include "workflow/installcheck.h"
#include "workflow/labelargs.h"

#include <QDebug>
#include <QStorageInfo>
#include <QTimer>

namespace {

const char *const LauncherFileName = "Kestrivane.exe";

QString twoDigits(qint64 value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

// 64-bit so that a huge remaining time at a crawling speed cannot wrap around.
QString formatSeconds(qint64 seconds) {
    if (seconds < 0)
        seconds = 0;
    return QStringLiteral("%1:%2:%3")
        .arg(twoDigits(seconds / 3600), twoDigits((seconds % 3600) / 60), twoDigits(seconds % 60));
}

} // namespace

void LauncherUpdater::openConfig() {
    configOpened = true;
}

QList<InstallCheck::File> LauncherUpdater::installedFilesOnDisk() const {
    QList<InstallCheck::File> files;
    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const RemoteFileInfo &e = it.value();
        if (e.name == QLatin1String(LauncherFileName) || installedVersion(e.name) != e.version)
            continue;
        // An unpacked archive is deleted on purpose; one still waiting to be unpacked must be there.
        if (e.name.endsWith(QLatin1String(".zip")) && !configSettings->hasExtractionMark(e.name))
            continue;
        InstallCheck::File f;
        f.name = e.name;
        f.path = QStringLiteral("%1/%2").arg(Platform::launcherDir(), e.name);
        f.size = e.size;
        f.md5 = e.md5;
        files.append(f);
    }
    return files;
}

void LauncherUpdater::forgetDamagedFile(const QString &name, const QString &reason) {
    qWarning().noquote() << "installed file damaged, queued again:" << name << "-" << reason;
    configSettings->forget(name);
    QJsonObject event;
    event.insert(QStringLiteral("file"), name);
    event.insert(QStringLiteral("event"), QStringLiteral("installed file damaged"));
    event.insert(QStringLiteral("reason"), reason);
    sendLogEvent(event);
}

void LauncherUpdater::prepareGameResources() {
    updateFileCount = 0;
    openConfig();
    forgetUnlistedFiles();

    // A file recorded as installed that is gone or has another size than listed is fetched again:
    // its record goes first, so it is queued below like any file not installed.
    for (const InstallCheck::File &f : installedFilesOnDisk()) {
        const QString damage = InstallCheck::sizeDamage(f.path, f.size);
        if (!damage.isEmpty())
            forgetDamagedFile(f.name, damage);
    }
    removeUnpackedArchives();

    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const RemoteFileInfo &e = it.value();
        totalBytes += e.size;
        if (e.name == QLatin1String(LauncherFileName))
            continue;
        if (installedVersion(e.name) == e.version) {
            presentBytes += e.size;
            continue;
        }
        ++updateFileCount;
        queuedBytes += e.size;
        if (!downloadManager) {
            downloadManager = new XDManager(Platform::launcherDir(), this);
            downloadManager->setTransferTimeout(pieceTimeoutMs);
            connect(downloadManager, SIGNAL(downloadStart()), this, SLOT(downloadStarted()));
            connect(downloadManager, SIGNAL(fileDownloadFinished(ErrorCode, QString)), this,
                    SLOT(gameResDownloadFinished(ErrorCode, QString)));
            connect(downloadManager, SIGNAL(fileDownloadingStart(QString)), this,
                    SLOT(gameResDownloadingStarted(QString)));
            connect(downloadManager, SIGNAL(allFileDownloadFinished()), this,
                    SLOT(allGameResDownloadFinished()));
        }
        downloadManager->addFile(QStringLiteral("v%1_%2").arg(e.version, e.name), e.name);
    }
    // Pieces an earlier run left on disk count as present from the start: the KEEP UPDATE page
    // shows them, and they never show as speed.
    lastCommittedBytes = presentBytes + (downloadManager ? downloadManager->resumedBytes() : 0);
}

QString LauncherUpdater::installedVersion(const QString &name) const {
    return configSettings->installedVersion(name);
}

void LauncherUpdater::beginGameResourcePhase() {
    if (!downloadManager) {
        // Nothing is left to resume: a flag from an earlier interrupted run must not hold back
        // the next real update behind KEEP UPDATE.
        if (configSettings->hasManualResume())
            setManualResume(false);
        showStartButton();
        // In progress until the unpacking ends: a language change must not relabel the button.
        gameState = 1;
        connect(ui->startGameBtn, SIGNAL(clicked()), this, SLOT(gameBtnClicked()), Qt::UniqueConnection);
        allGameResDownloadFinished();
        return;
    }

    if (configSettings->manualResume()) {
        showResumeButton();
        calcDownloadSpeed();
        gameState = 0;
        connect(ui->startGameBtn, SIGNAL(clicked()), this, SLOT(resumeDownloading()), Qt::UniqueConnection);
    } else if (const qint64 shortBy = missingRoom(); shortBy > 0) {
        showMissingRoom(shortBy);
    } else {
        showStartButton();
        gameState = 1;
        connect(ui->startGameBtn, SIGNAL(clicked()), this, SLOT(gameBtnClicked()), Qt::UniqueConnection);
        isPaused = false;
        downloadManager->start();
        speedTimer->start();
        ui->downloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/pause.png")));
        ui->downloadBtn->setVisible(true);
    }
    ui->gameSrcDownloadInfo->setVisible(true);
    ui->gameSrcProgressBar->setVisible(true);
}

qint64 LauncherUpdater::missingRoom() const {
    const QString folder = Platform::launcherDir();
    const QStorageInfo storage(folder);
    const qint64 available = storage.isValid() ? storage.bytesAvailable() : -1;
    // Where the free space cannot be told, the download goes ahead and a full disk shows as a
    // write error.
    if (available < 0)
        return 0;
    // A file being replaced needs its whole new size beside the old copy until it is in place.
    const qint64 needed = queuedBytes - (downloadManager ? downloadManager->resumedBytes() : 0);
    if (needed <= available)
        return 0;
    qWarning().noquote() << "not enough disk space for the update:" << folder << "needs" << needed << "bytes,"
                         << available << "free";
    return needed - available;
}

// Nothing is fetched that could not be written: the page says how much room to make, and KEEP
// UPDATE checks again.
void LauncherUpdater::showMissingRoom(qint64 shortBy) {
    isDownloading = false;
    showResumeButton();
    gameState = 0;
    connect(ui->startGameBtn, SIGNAL(clicked()), this, SLOT(resumeDownloading()), Qt::UniqueConnection);
    calcDownloadSpeed();
    ui->estimateTimeInfo->clearText();
    ui->downloadingSpeedInfo->clearText();
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("DISK_SPACE_SHORT"), true, true);
    ui->gameSrcDownloadInfo->setArgs({LabelArgs::text(formatSize(static_cast<float>(shortBy), 2))});
    QJsonObject event;
    event.insert(QStringLiteral("event"), QStringLiteral("not enough disk space"));
    event.insert(QStringLiteral("missing"), double(shortBy));
    sendLogEvent(event);
}

void LauncherUpdater::setManualResume(bool manualResume) {
    // Before the game-resource update there is nothing to offer again.
    if (!configOpened)
        return;
    configSettings->setManualResume(manualResume);
}

void LauncherUpdater::showStartButton() {
    ui->startGameBtn->setVisible(true);
    ui->startGameBtn->setTextKey(QStringLiteral("START_GAME"));
    ui->startGameBtn->setEnabled(false);
}

void LauncherUpdater::showResumeButton() {
    ui->startGameBtn->setVisible(true);
    ui->startGameBtn->setTextKey(QStringLiteral("RESUME_DOWNLOADING"));
}

void LauncherUpdater::resumeDownloading() {
    disconnect(ui->startGameBtn, SIGNAL(clicked()), this, SLOT(resumeDownloading()));
    setManualResume(false);
    beginGameResourcePhase();
    QJsonObject event;
    event.insert(QStringLiteral("event"), QStringLiteral("resume downloading"));
    sendLogEvent(event);
}

void LauncherUpdater::downloadStarted() {
    qDebug() << "downloadStarted";
    isDownloading = true;
    speedTimer->start();
}

void LauncherUpdater::gameResDownloadingStarted(QString filename) {
    qDebug().noquote() << "gameResDownloadingStarted " + filename + " download start";
    startedFiles.append(filename);
}

void LauncherUpdater::gameResDownloadFinished(ErrorCode code, QString filename) {
    qDebug().noquote() << QStringLiteral("gameResDownloadFinished code=%1, filename").arg(int(code)) +
                              filename;
    startedFiles.removeOne(filename);

    const char *eventName = nullptr;
    switch (code) {
    case NoError: {
        const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
        const auto it = table.constFind(filename);
        if (it == table.cend()) {
            qDebug().noquote() << "downloaded file missing from the version table: " + filename;
            return;
        }
        const RemoteFileInfo &e = it.value();
        const bool archive = e.name.endsWith(QLatin1String(".zip"));
        if (archive && !archivesToExtract.contains(e.name))
            archivesToExtract.append(e.name);
        configSettings->recordDownloaded(e.name, e.version, archive);
        ++finishedFileCount;
        presentBytes += e.size;
        return;
    }
    case VerifyError:
        ++verifyErrorCount;
        eventName = "md5 verify failed";
        break;
    case NetworkError:
        ++networkErrorCount;
        eventName = "game src download failed";
        break;
    case WriteError:
        ++writeErrorCount;
        eventName = "file write error";
        break;
    }
    if (!eventName)
        return;
    QJsonObject event;
    event.insert(QStringLiteral("file"), filename);
    event.insert(QStringLiteral("event"), QString::fromLatin1(eventName));
    // Why it failed, as the download engine saw it: the code alone does not tell a 404 from a reset.
    const QString reason = downloadManager ? downloadManager->failureReason(filename) : QString();
    if (!reason.isEmpty()) {
        qDebug().noquote() << "download failed: " + reason;
        event.insert(QStringLiteral("reason"), reason);
    }
    sendLogEvent(event);
}

void LauncherUpdater::allGameResDownloadFinished() {
    qDebug() << "allGameResDownloadFinished.";
    ui->downloadBtn->setVisible(false);
    speedTimer->stop();
    ui->estimateTimeInfo->clearText();
    ui->downloadingSpeedInfo->clearText();

    const char *errorKey = nullptr;
    if (networkErrorCount > 0)
        errorKey = "NETWORK_ERROR";
    else if (verifyErrorCount > 0)
        errorKey = "VERIFY_ERROR";
    else if (writeErrorCount > 0)
        errorKey = "WRITE_ERROR";
    if (errorKey) {
        ui->gameSrcDownloadInfo->setTextKey(QString::fromLatin1(errorKey), true, true);
        // Nothing runs any more: leaving must neither ask about an interrupted download nor
        // hold the next start back behind KEEP UPDATE.
        isDownloading = false;
        return;
    }

    ui->gameSrcProgressBar->setProgress(0);
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("DOWNLOAD_FINISHED"), true, true);
    prepareExtraction();
}

qint64 LauncherUpdater::smoothedSpeed(qint64 committed, qint64 lastCommitted, qint64 speed) {
    if (committed < lastCommitted)
        return 0;
    return ((committed - lastCommitted) + 4 * speed) / 5;
}

QString LauncherUpdater::remainingTimeText(qint64 remainingBytes, qint64 speed) {
    if (speed < 1)
        return QStringLiteral("00:00:00");
    return formatSeconds(qMax<qint64>(0, remainingBytes) / speed);
}

void LauncherUpdater::calcDownloadSpeed() {
    // Installed files, pieces kept from an earlier run, pieces completed and being received now.
    qint64 committed = presentBytes;
    if (downloadManager)
        committed += downloadManager->resumedBytes() + downloadManager->bufferedBytes();
    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    for (const QString &name : qAsConst(startedFiles)) {
        const auto it = table.constFind(name);
        if (it != table.cend())
            committed += it.value().downloadedBytes;
    }

    downloadSpeed = smoothedSpeed(committed, lastCommittedBytes, downloadSpeed);

    ui->estimateTimeInfo->setTextKey(QStringLiteral("ESTIMATED_TIME_TIP"), true, true);
    ui->estimateTimeInfo->setArgs(
        {LabelArgs::text(remainingTimeText(totalBytes - committed, downloadSpeed))});

    ui->downloadingSpeedInfo->setTextKey(QStringLiteral("DOWNLOADING_SPEED_TIP"), true, true);
    ui->downloadingSpeedInfo->setArgs({LabelArgs::text(formatSize(static_cast<float>(downloadSpeed), 2))});

    // An empty table (total 0) shows 0 % rather than a division by zero.
    const float percent =
        totalBytes > 0 ? static_cast<float>(double(committed) * 100.0 / double(totalBytes)) : 0.0f;
    ui->gameSrcProgressBar->setProgress(percent);

    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("DOWNLOADING_TIP"), true, true);
    ui->gameSrcDownloadInfo->setArgs({LabelArgs::number(static_cast<int>(percent)),
                                      LabelArgs::text(formatSize(static_cast<float>(committed), 2)),
                                      LabelArgs::text(formatSize(static_cast<float>(totalBytes), 2))});

    lastCommittedBytes = committed;
}

void LauncherUpdater::downloadBtnClicked() {
    if (!downloadManager)
        return;
    if (!isPaused) {
        isPaused = true;
        downloadManager->pause();
        ui->downloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/continue.png")));
        ui->downloadBtn->setVisible(true);
        speedTimer->stop();
        ui->estimateTimeInfo->clearText();
        ui->downloadingSpeedInfo->clearText();
    } else {
        isPaused = false;
        downloadManager->resume();
        speedTimer->start();
        ui->downloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/pause.png")));
        ui->downloadBtn->setVisible(true);
    }
}

QString LauncherUpdater::formatTime(int seconds) {
    return formatSeconds(seconds);
}
