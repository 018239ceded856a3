// --verify: every installed file hashed against the version file on worker threads before the
// game-resource update, which then fetches what differs.
#include "launcher/launcherupdater.h"

#include "launcher/ui_launcherupdater.h"
#include "workflow/labelargs.h"

#include <QDebug>
#include <QTimer>
#include <QtConcurrent>

namespace {
constexpr int VerifyRefreshMs = 200;
}

void LauncherUpdater::setVerifyInstalledFiles(bool verify) {
    verifyRequested = verify;
}

void LauncherUpdater::verifyInstalledFiles() {
    openConfig();
    QList<InstallCheck::File> files = installedFilesOnDisk();
    verifyProgress = std::make_shared<InstallCheck::Progress>();
    verifyTotalBytes = 0;
    for (InstallCheck::File &f : files) {
        f.progress = verifyProgress;
        verifyTotalBytes += f.size;
    }
    qDebug() << "verifying installed files" << files.size() << verifyTotalBytes;

    // Nothing can start yet: the button stays disabled and a language change keeps its caption.
    showStartButton();
    gameState = 1;
    ui->gameSrcDownloadInfo->setVisible(true);
    ui->gameSrcProgressBar->setVisible(true);
    showVerifyProgress();

    verifyTimer = new QTimer(this);
    verifyTimer->setInterval(VerifyRefreshMs);
    connect(verifyTimer, &QTimer::timeout, this, &LauncherUpdater::showVerifyProgress);
    verifyTimer->start();

    verifyWatcher = new QFutureWatcher<InstallCheck::File>(this);
    connect(verifyWatcher, &QFutureWatcher<InstallCheck::File>::finished, this,
            &LauncherUpdater::installedFilesVerified);
    // Hashing reads whole files: the workers keep it off the GUI thread; each file is one job.
    verifyWatcher->setFuture(QtConcurrent::mapped(files, &InstallCheck::hashCheck));
}

void LauncherUpdater::showVerifyProgress() {
    const qint64 done = verifyProgress ? verifyProgress->hashedBytes.load() : 0;
    const float percent =
        verifyTotalBytes > 0 ? static_cast<float>(double(done) * 100.0 / double(verifyTotalBytes)) : 0.0f;
    ui->gameSrcProgressBar->setProgress(percent);
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("%1 %2%"), false, true);
    ui->gameSrcDownloadInfo->setArgs(
        {LabelArgs::key(QStringLiteral("UPDATING")), LabelArgs::number(static_cast<int>(percent))});
}

void LauncherUpdater::installedFilesVerified() {
    if (!verifyWatcher || (verifyProgress && verifyProgress->cancelled.load()))
        return;
    const QList<InstallCheck::File> results = verifyWatcher->future().results();
    verifyWatcher->deleteLater();
    verifyWatcher = nullptr;
    delete verifyTimer;
    verifyTimer = nullptr;
    int damaged = 0;
    for (const InstallCheck::File &f : results) {
        if (!f.damage.isEmpty()) {
            ++damaged;
            forgetDamagedFile(f.name, f.damage);
        }
    }
    qDebug() << "installed files verified" << results.size() << "damaged" << damaged;
    prepareGameResources();
    beginGameResourcePhase();
}

void LauncherUpdater::cancelVerification() {
    if (!verifyWatcher)
        return;
    verifyProgress->cancelled.store(true);
    verifyWatcher->cancel();
    // The workers see the flag within one block; none may outlive the window that waits for them.
    verifyWatcher->waitForFinished();
}
