// Game-resource update: installed versions, the download manager, progress, pause and resume.
#include "launcher/launcherupdater.h"

#include <QSettings>

void LauncherUpdater::prepareGameResources() {}

void LauncherUpdater::beginGameResourcePhase() {}

QString LauncherUpdater::installedVersion(const QString &name) const {
    Q_UNUSED(name);
    return QString();
}

void LauncherUpdater::setManualResume(bool manualResume) {
    if (configSettings)
        configSettings->setValue(QStringLiteral("download_config/manual_resume"), manualResume);
}

void LauncherUpdater::showStartButton() {}

void LauncherUpdater::showResumeButton() {}

void LauncherUpdater::downloadStarted() {}

void LauncherUpdater::gameResDownloadFinished(ErrorCode code, QString filename) {
    Q_UNUSED(code);
    Q_UNUSED(filename);
}

void LauncherUpdater::gameResDownloadingStarted(QString filename) {
    Q_UNUSED(filename);
}

void LauncherUpdater::allGameResDownloadFinished() {}

void LauncherUpdater::resumeDownloading() {}

void LauncherUpdater::calcDownloadSpeed() {}

void LauncherUpdater::downloadBtnClicked() {}

QString LauncherUpdater::formatTime(int seconds) {
    Q_UNUSED(seconds);
    return QString();
}
