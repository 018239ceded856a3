#pragma once

// Reaches into the window for the tests: the form and the workflow state.

#include "launcher/launcherupdater.h"
#include "launcher/ui_launcherupdater.h"
#include "widgets/darkoverlay.h"

#include <QSettings>

struct LauncherUpdaterTestAccess {
    static Ui::LauncherUpdater *ui(LauncherUpdater *w) { return w->ui; }
    static bool &isDownloading(LauncherUpdater *w) { return w->isDownloading; }
    static int &gameState(LauncherUpdater *w) { return w->gameState; }
    static int &retryCount(LauncherUpdater *w) { return w->retryCount; }
    static int &finishedFileCount(LauncherUpdater *w) { return w->finishedFileCount; }
    static int &updateFileCount(LauncherUpdater *w) { return w->updateFileCount; }
    static QString gclid(LauncherUpdater *w) { return w->gclid; }
    static QString deviceId(LauncherUpdater *w) { return w->deviceId; }
    static QSystemTrayIcon &trayIcon(LauncherUpdater *w) { return w->trayIcon; }
    static QMenu &trayMenu(LauncherUpdater *w) { return w->trayMenu; }
    static QProcess *gameProcess(LauncherUpdater *w) { return w->gameProcess; }
    static QWidget *overlay(LauncherUpdater *w) { return w->overlay; }
    static QPixmap logoPixmap(LauncherUpdater *w) { return w->logoPixmap; }
    static QRect logoRect(LauncherUpdater *w) { return w->logoRect; }
    static void openConfig(LauncherUpdater *w, const QString &path) {
        w->configSettings = new QSettings(path, QSettings::IniFormat, w);
    }
    static QSettings *configSettings(LauncherUpdater *w) { return w->configSettings; }
    static void showDebugInfo(LauncherUpdater *w) { w->showDebugInfo(); }
    static bool writeAppDirFile(LauncherUpdater *w, const QByteArray &data, const QString &name) {
        return w->writeAppDirFile(data, name);
    }
};
