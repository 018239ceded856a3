#include "workflow/startconfirmation.h"

#include "workflow/updatemarks.h"

#include <QDebug>

StartConfirmation::StartConfirmation(const QString &folder, int settleMs, int limitMs, QObject *parent)
    : QObject(parent)
    , folder(folder) {
    settleTimer.setSingleShot(true);
    settleTimer.setInterval(settleMs);
    limitTimer.setSingleShot(true);
    limitTimer.setInterval(qMax(settleMs, limitMs));
    connect(&settleTimer, &QTimer::timeout, this, [this]() {
        settled = true;
        confirmWhenDue();
    });
    connect(&limitTimer, &QTimer::timeout, this, [this]() {
        if (!done)
            qDebug() << "no end of the version check yet, confirming the start all the same";
        confirmNow();
    });
}

void StartConfirmation::windowShown() {
    if (shown)
        return;
    shown = true;
    // Timers, not the show itself: the window shows before the event loop runs, and a launcher
    // that dies soon after must not count as up.
    settleTimer.start();
    limitTimer.start();
}

void StartConfirmation::versionCheckEnded() {
    checkEnded = true;
    confirmWhenDue();
}

void StartConfirmation::confirmWhenDue() {
    if (settled && checkEnded)
        confirmNow();
}

void StartConfirmation::confirmNow() {
    if (done)
        return;
    done = true;
    settleTimer.stop();
    limitTimer.stop();
    UpdateMarks::confirmStarted(folder);
}
