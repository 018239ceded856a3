// GameResourceUpdate: the progress the page shows (bytes done, speed, what goes on meanwhile) and
// the check of installed files against their listed MD5 (--verify and the repair).
#include "workflow/gameresourceupdate.h"

#include "download/bandwidthcap.h"
#include "download/xdmanager.h"
#include "trust/versiontable.h"
#include "workflow/archivepatchpreparer.h"
#include "workflow/labelargs.h"
#include "workflow/poolfuture.h"
#include "workflow/progresslines.h"
#include "workflow/workflowsetup.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>

// What this run put on the disk of the files under way. Bytes still in memory are not counted:
// a full disk or a kill would take them back, and the bar would fall.
qint64 GameResourceUpdate::receivingBytes() const {
    return manager ? manager->writtenBytes() : 0;
}

qint64 GameResourceUpdate::doneBytes() const {
    qint64 fromPeers = 0;
    for (const QPointer<ArchivePatchPreparer> &p : preparers) {
        if (p)
            fromPeers += p->peerProgress();
    }
    return earlier + present + (manager ? manager->resumedBytes() : 0) + receivingBytes() + fromPeers;
}

bool GameResourceUpdate::fetchingFromPeers() const {
    return std::any_of(preparers.cbegin(), preparers.cend(),
                       [](const QPointer<ArchivePatchPreparer> &p) { return p && p->fetchingFromPeers(); });
}

void GameResourceUpdate::calcDownloadSpeed() {
    // The bytes taken from the network make the speed: those an earlier run left and the blocks an
    // older copy gave count as done at once, never as speed.
    const BandwidthCap &cap = BandwidthCap::instance();
    const qint64 passed = cap.passedBytes();
    const qint64 speed = meter.sample(passed, cap.rate());
    const qint64 done = doneBytes();
    if (!showProgress(done)) {
        // Nothing comes meanwhile: the measuring starts again with the first bytes after.
        meter.restart(passed, cap.rate());
        return;
    }
    emit status(WorkflowStatus::TimeLine, progressLines().timeLine(done, speed));
    emit status(WorkflowStatus::SpeedLine, ProgressLines::speedLine(speed));
}

bool GameResourceUpdate::checkingChanges() const {
    // Entries coming from launchers nearby are a download, with its progress.
    return manager && speedTimer->isActive() && manager->planningSpans() && !fetchingFromPeers();
}

int GameResourceUpdate::scanPercent() const {
    return manager && speedTimer->isActive() ? manager->scanPercent() : -1;
}

ProgressLines GameResourceUpdate::progressLines() const {
    return ProgressLines(total + earlier);
}

QPair<WorkflowStatus, float> GameResourceUpdate::pausedProgress() const {
    return progressLines().pausedProgress(doneBytes());
}

bool GameResourceUpdate::showProgress(qint64 done) {
    const ProgressLines lines = progressLines();
    emit progress(WorkflowStatus::GameBar, lines.percentOf(done));
    const int waitMs = manager && speedTimer->isActive() ? manager->networkWaitMs() : -1;
    WorkflowStatus line;
    if (offered) {
        line = lines.line(QStringLiteral("RESUME_OFFERED_TIP"), done);
    } else if (paused) {
        line = pausedProgress().first;
    } else if (const int scan = scanPercent(); scan >= 0) {
        // Reading installed copies for their blocks, nothing fetched meanwhile: that is what goes
        // on, not a download at 0 B/s.
        line = WorkflowStatus::text(QStringLiteral("SCANNING_TIP"), {LabelArgs::number(scan)});
    } else if (checkingChanges()) {
        // Likewise while an archive's changes are looked for: not a download of the whole archive.
        line = WorkflowStatus::text(QStringLiteral("CHECKING_CHANGES"));
    } else if (waitMs >= 0) {
        // Every piece waits out an outage: when the next attempt comes, not a speed that fades.
        line = WorkflowStatus::text(QStringLiteral("NETWORK_WAITING"),
                                    {LabelArgs::number((waitMs + 999) / 1000)});
    } else {
        emit status(WorkflowStatus::GameLine, lines.line(QStringLiteral("DOWNLOADING_TIP"), done));
        return true;
    }
    clearSpeedTexts();
    emit status(WorkflowStatus::GameLine, line);
    return false;
}

void GameResourceUpdate::verifyInstalledFiles() {
    QList<InstallCheck::File> files = installed.installedFilesOnDisk();
    verifyProgress = std::make_shared<InstallCheck::Progress>();
    verifyTotalBytes = 0;
    for (InstallCheck::File &f : files) {
        f.progress = verifyProgress;
        verifyTotalBytes += f.size;
    }
    qDebug() << "verifying installed files" << files.size() << verifyTotalBytes;
    showVerifyProgress();

    verifyTimer = new QTimer(this);
    verifyTimer->setInterval(setup.verifyRefreshMs);
    connect(verifyTimer, &QTimer::timeout, this, &GameResourceUpdate::showVerifyProgress);
    verifyTimer->start();

    verifyWatcher = new QFutureWatcher<InstallCheck::File>(this);
    connect(verifyWatcher, &QFutureWatcher<InstallCheck::File>::finished, this,
            &GameResourceUpdate::installedFilesVerified);
    // Hashing reads whole files: the workers keep it off the GUI thread; each file is one job.
    verifyWatcher->setFuture(PoolFuture::mapped(files, &InstallCheck::hashCheck));
}

void GameResourceUpdate::showVerifyProgress() {
    const qint64 done = verifyProgress ? verifyProgress->hashedBytes.load() : 0;
    const float percent =
        verifyTotalBytes > 0 ? static_cast<float>(double(done) * 100.0 / double(verifyTotalBytes)) : 0.0f;
    emit progress(WorkflowStatus::GameBar, percent);
    emit status(
        WorkflowStatus::GameLine,
        WorkflowStatus::pattern(QStringLiteral("%1 %2%"), {LabelArgs::key(QStringLiteral("UPDATING")),
                                                           LabelArgs::number(static_cast<int>(percent))}));
}

void GameResourceUpdate::installedFilesVerified() {
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
            forgetDamagedFile(f);
        } else if (f.entry.isEmpty()) {
            emit fileChecked(VersionTable::instance().value(f.name), f.path);
        }
    }
    qDebug() << "installed files verified" << results.size() << "damaged" << damaged;
    verifiedFiles = results.size();
    damagedFiles = damaged;
    emit verified();
}

void GameResourceUpdate::cancelVerification() {
    if (!verifyWatcher)
        return;
    verifyProgress->cancelled.store(true);
    verifyWatcher->cancel();
    // The workers see the flag within one block; none may outlive the object that waits for them.
    verifyWatcher->waitForFinished();
}
