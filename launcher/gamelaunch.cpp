// Starting the game, hiding while it runs, and handling its exit.
#include "launcher/launcherupdater.h"

void LauncherUpdater::gameBtnClicked() {}

void LauncherUpdater::gameProcessStarted() {}

void LauncherUpdater::gameProcessFinished(int exitCode, QProcess::ExitStatus exitStatus) {
    Q_UNUSED(exitCode);
    Q_UNUSED(exitStatus);
}

void LauncherUpdater::processGameProcessFinishState(int exitCode, QProcess::ExitStatus exitStatus) {
    Q_UNUSED(exitCode);
    Q_UNUSED(exitStatus);
}
