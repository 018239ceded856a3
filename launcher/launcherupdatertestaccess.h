#pragma once

// The one supported way into the window's inside, for tests and for the picture tool
// (tools/pictures): the form generated from launcherupdater.ui and the workflow state and steps they drive.
// LauncherUpdater befriends this name; nothing else may declare it.

#include "launcher/launcherupdater.h"
#include "launcher/ui_launcherupdater.h"
#include "widgets/darkoverlay.h"

struct LauncherUpdaterTestAccess {
    static Ui::LauncherUpdater *ui(LauncherUpdater *w) { return w->ui; }
    static QWidget *overlay(LauncherUpdater *w) { return w->overlay; }
    static bool &isDownloading(LauncherUpdater *w) { return w->isDownloading; }
    static bool &isPaused(LauncherUpdater *w) { return w->isPaused; }
    static int &gameState(LauncherUpdater *w) { return w->gameState; }
    static int &retryCount(LauncherUpdater *w) { return w->retryCount; }
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
    static void openConfig(LauncherUpdater *w) { w->openConfig(); }
    static XDManager *downloadManager(LauncherUpdater *w) { return w->downloadManager; }
    static QTimer *speedTimer(LauncherUpdater *w) { return w->speedTimer; }
    static int &versionFileTimeoutMs(LauncherUpdater *w) { return w->versionFileTimeoutMs; }
    static int &launcherFileTimeoutMs(LauncherUpdater *w) { return w->launcherFileTimeoutMs; }
    static int &pieceTimeoutMs(LauncherUpdater *w) { return w->pieceTimeoutMs; }
    static QProcess *gameProcess(LauncherUpdater *w) { return w->gameProcess; }
    static QSystemTrayIcon &trayIcon(LauncherUpdater *w) { return w->trayIcon; }
    static QMenu &trayMenu(LauncherUpdater *w) { return w->trayMenu; }
    static QPixmap logoPixmap(LauncherUpdater *w) { return w->logoPixmap; }
    static QRect logoRect(LauncherUpdater *w) { return w->logoRect; }

    static void showGameResourcePage(LauncherUpdater *w) { w->showGameResourcePage(); }
    static void prepareGameResources(LauncherUpdater *w) { w->prepareGameResources(); }
    static void beginGameResourcePhase(LauncherUpdater *w) { w->beginGameResourcePhase(); }
    static void calcDownloadSpeed(LauncherUpdater *w) { w->calcDownloadSpeed(); }
    static void gameBtnClicked(LauncherUpdater *w) { w->gameBtnClicked(); }
    static void exitApp(LauncherUpdater *w) { w->exitApp(); }
    static void showDebugInfo(LauncherUpdater *w) { w->showDebugInfo(); }
    static bool writeAppDirFile(LauncherUpdater *w, const QByteArray &data, const QString &name) {
        return w->writeAppDirFile(data, name);
    }
};
