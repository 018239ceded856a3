// LauncherWorkflow's waits: the tries again after a failure and their countdown, the downloads that
// wait for the player on a metered connection, and the release found while the game page is ready
// (the periodic check).
#include "workflow/launcherworkflow.h"

#include "download/xdmanager.h"
#include "workflow/gameresourceupdate.h"
#include "workflow/labelargs.h"
#include "workflow/periodiccheck.h"
#include "workflow/selfupdate.h"
#include "workflow/startconfirmation.h"

#include <QDebug>
#include <QTimer>

void LauncherWorkflow::fetchOrOffer(bool playerAsked) {
    // KEEP UPDATE is offered without fetching anything: no need to wait for it.
    if (!playerAsked && gameResources->downloadManager() && !configFile.manualResume() && metered.holds()) {
        // What the listed files weigh less what is on the disk already (no entry index is asked
        // for to tell better).
        const XDManager *fetching = gameResources->downloadManager();
        waitOnMeteredLine(UpdateWaits, gameResources->totalBytes() - gameResources->presentBytes() -
                                           fetching->resumedBytes());
        return;
    }
    gameResources->beginGameResourcePhase();
}

void LauncherWorkflow::updateLauncher(const RemoteFileInfo &entry) {
    if (metered.holds()) {
        waitingLauncher = entry;
        waitOnMeteredLine(LauncherWaits, entry.size);
        return;
    }
    setPhase(SelfUpdating);
    updater->start(entry);
}

void LauncherWorkflow::waitOnMeteredLine(Waiting what, qint64 bytes) {
    const bool launcher = what == LauncherWaits;
    qDebug().noquote() << QStringLiteral("metered connection: the %1 waits for the player, %2 bytes")
                              .arg(launcher ? QStringLiteral("launcher's update") : QStringLiteral("update"))
                              .arg(bytes);
    waiting = what;
    setPhase(MeteredWaiting);
    if (launcher) {
        emit status(WorkflowStatus::LauncherLine,
                    MeteredWait::line(QStringLiteral("METERED_LAUNCHER_WAITING"), bytes));
    } else {
        emit status(WorkflowStatus::GameLine,
                    MeteredWait::line(QStringLiteral("METERED_UPDATE_WAITING"), bytes));
        emit status(WorkflowStatus::TimeLine, WorkflowStatus::cleared());
        emit status(WorkflowStatus::SpeedLine, WorkflowStatus::cleared());
    }
    sendLogEvent(MeteredWait::event(launcher ? QStringLiteral("launcher") : QStringLiteral("update"), bytes));
}

void LauncherWorkflow::downloadAnyway() {
    const Waiting what = std::exchange(waiting, NothingWaits);
    if (what == NothingWaits)
        return; // clicked twice: the download is on its way
    qDebug() << "the player downloads anyway on a metered connection";
    metered.allow();
    if (what == LauncherWaits) {
        setPhase(SelfUpdating);
        updater->start(waitingLauncher);
    } else {
        gameResources->beginGameResourcePhase();
    }
}

void LauncherWorkflow::setWindowVisible(bool visible) {
    windowVisible = visible;
    if (visible)
        periodic->checkIfDeferred();
}

void LauncherWorkflow::releaseFoundFromPage() {
    // The game started meanwhile: the release waits for its end.
    if (current != Ready) {
        qDebug() << "a newer release found while the game page is not ready, checking again when it is";
        periodic->defer();
        return;
    }
    qDebug() << "a newer release found while the game page is ready, updating";
    updatingFromPage = true;
    replaceRunParts();
    beginGameResources();
}

void LauncherWorkflow::launcherFoundFromPage(const RemoteFileInfo &entry) {
    // The launcher replaces itself only before the player's eyes, never from the tray.
    if (current != Ready || !windowVisible) {
        qDebug() << "a newer launcher found, updating once the window is shown";
        periodic->defer();
        return;
    }
    qDebug() << "a newer launcher found while the game page is ready";
    replaceRunParts();
    startConfirmation->confirmNow();
    updateLauncher(entry);
}

void LauncherWorkflow::showRetryCountdown() {
    if (!waitingForRetry() || !retryTimer->isActive()) {
        countdownTimer->stop();
        return;
    }
    const int seconds = (qMax(0, retryTimer->remainingTime()) + 500) / 1000;
    if (networkAway) {
        emit status(WorkflowStatus::GameLine,
                    WorkflowStatus::text(QStringLiteral("NETWORK_WAITING"), {LabelArgs::number(seconds)}));
        return;
    }
    // Also after a check tried again from the game page, which speaks on the launcher's line.
    if (!failedKey.isEmpty())
        emit status(WorkflowStatus::GameLine, WorkflowStatus::text(failedKey));
    emit status(WorkflowStatus::TimeLine,
                WorkflowStatus::text(QStringLiteral("RETRY_COUNTDOWN"), {LabelArgs::number(seconds)}));
}

void LauncherWorkflow::fail() {
    if (current == Failed)
        return;
    // The player paused: the run tried again by itself offers KEEP UPDATE rather than downloading.
    if (current == Paused)
        setManualResume(true);
    failedIn = current;
    setPhase(Failed);
    // Nothing is left for the player to do but wait: the run is tried again by itself, less often
    // the longer the failures last.
    qDebug() << "final error, trying again in" << retryPauseMs << "ms";
    scheduleRetry();
}

void LauncherWorkflow::waitForFreshRelease() {
    waitWithInstalledGame(ReleaseExpired, QStringLiteral("RELEASE_OUT_OF_DATE"));
}

void LauncherWorkflow::waitForServer() {
    waitWithInstalledGame(ServerUnreachable, unreachableKey);
}

void LauncherWorkflow::waitWithInstalledGame(Phase phase, const QString &key) {
    setPhase(phase);
    failedKey = key;
    // Back from the game: the pause under way goes on.
    if (retryTimer->isActive()) {
        showRetryCountdown();
        countdownTimer->start();
        return;
    }
    qDebug() << "no release to take" << key << "asking again in" << retryPauseMs << "ms";
    scheduleRetry();
}

void LauncherWorkflow::scheduleRetry() {
    retryTimer->start(retryPauseMs);
    if (resourcesBegun) {
        showRetryCountdown();
        countdownTimer->start();
    }
    retryPauseMs =
        int(qMin(qint64(retryPauseMs) * 2, qint64(qMax(given.failedRetryMaxMs, given.failedRetryMs))));
}
