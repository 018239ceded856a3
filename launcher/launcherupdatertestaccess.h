#pragma once

// The one supported way into the window's inside, for tests and for the picture tool
// (tools/pictures): the form generated from launcherupdater.ui and what the window shows of the
// workflow. The workflow itself is public (LauncherUpdater::workflow()).
// LauncherUpdater befriends this name; nothing else may declare it.

#include "launcher/launcherupdater.h"
#include "launcher/ui_launcherupdater.h"
#include "widgets/darkoverlay.h"

struct LauncherUpdaterTestAccess {
    static Ui::LauncherUpdater *ui(LauncherUpdater *w) { return w->ui; }
    static QWidget *overlay(LauncherUpdater *w) { return w->overlay; }
    // What the window shows: whether leaving asks first, and what the start button offers.
    static bool &isDownloading(LauncherUpdater *w) { return w->isDownloading; }
    static int &gameState(LauncherUpdater *w) { return w->gameState; }
    static QSystemTrayIcon &trayIcon(LauncherUpdater *w) { return w->trayIcon; }
    static QMenu &trayMenu(LauncherUpdater *w) { return w->trayMenu; }
    // The tray menu's entries: OPEN, the download's pause (shown only during a download), EXIT.
    static QAction *openAction(LauncherUpdater *w) { return w->openAction; }
    static QAction *pauseAction(LauncherUpdater *w) { return w->pauseAction; }
    static QAction *exitAction(LauncherUpdater *w) { return w->exitAction; }
    static QPixmap logoPixmap(LauncherUpdater *w) { return w->logoPixmap; }
    static QRect logoRect(LauncherUpdater *w) { return w->logoRect; }

    static void showGameResourcePage(LauncherUpdater *w) { w->showGameResourcePage(); }
    static void exitApp(LauncherUpdater *w) { w->exitApp(); }
    static void showDebugInfo(LauncherUpdater *w) { w->showDebugInfo(); }
};
