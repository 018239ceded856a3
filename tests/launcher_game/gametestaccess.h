#pragma once

// Reaches into the window for the game-resource, extraction and game tests.

#include "launcher/launcherupdater.h"
#include "launcher/ui_launcherupdater.h"

#include <QSettings>

struct LauncherUpdaterTestAccess {
    static Ui::LauncherUpdater *ui(LauncherUpdater *w) { return w->ui; }
    static bool &isDownloading(LauncherUpdater *w) { return w->isDownloading; }
    static bool &isPaused(LauncherUpdater *w) { return w->isPaused; }
    static int &gameState(LauncherUpdater *w) { return w->gameState; }
    static int &finishedFileCount(LauncherUpdater *w) { return w->finishedFileCount; }
    static int &updateFileCount(LauncherUpdater *w) { return w->updateFileCount; }
    static int &extractedCount(LauncherUpdater *w) { return w->extractedCount; }
    static int &extractTotal(LauncherUpdater *w) { return w->extractTotal; }
    static qint64 &totalBytes(LauncherUpdater *w) { return w->totalBytes; }
    static qint64 &presentBytes(LauncherUpdater *w) { return w->presentBytes; }
    static qint64 &downloadSpeed(LauncherUpdater *w) { return w->downloadSpeed; }
    static qint64 &lastCommittedBytes(LauncherUpdater *w) { return w->lastCommittedBytes; }
    static QStringList &startedFiles(LauncherUpdater *w) { return w->startedFiles; }
    static QStringList &archivesToExtract(LauncherUpdater *w) { return w->archivesToExtract; }
    static QString &gclid(LauncherUpdater *w) { return w->gclid; }
    static QString &deviceId(LauncherUpdater *w) { return w->deviceId; }
    static QSettings *configSettings(LauncherUpdater *w) { return w->configSettings; }
    static XDManager *downloadManager(LauncherUpdater *w) { return w->downloadManager; }
    static QTimer *speedTimer(LauncherUpdater *w) { return w->speedTimer; }
    static int &versionFileTimeoutMs(LauncherUpdater *w) { return w->versionFileTimeoutMs; }
    static int &launcherFileTimeoutMs(LauncherUpdater *w) { return w->launcherFileTimeoutMs; }
    static int &pieceTimeoutMs(LauncherUpdater *w) { return w->pieceTimeoutMs; }
    static QProcess *gameProcess(LauncherUpdater *w) { return w->gameProcess; }
    static QSystemTrayIcon &trayIcon(LauncherUpdater *w) { return w->trayIcon; }

    static void prepareGameResources(LauncherUpdater *w) { w->prepareGameResources(); }
    static void beginGameResourcePhase(LauncherUpdater *w) { w->beginGameResourcePhase(); }
    static void calcDownloadSpeed(LauncherUpdater *w) { w->calcDownloadSpeed(); }
    static void gameBtnClicked(LauncherUpdater *w) { w->gameBtnClicked(); }
    static void exitApp(LauncherUpdater *w) { w->exitApp(); }
};
