// PreDownload: what holds a fetch once its files are queued (a metered connection, the game, the
// player's pause).
#include "workflow/predownload.h"

#include "download/xdmanager.h"
#include "workflow/meteredwait.h"

#include <QDebug>
#include <QTimer>

bool PreDownload::startUnlessWaiting() {
    if (metered && metered->holds()) {
        qDebug() << "metered connection: the pre-download waits for the player" << comingVersion;
        emit event(MeteredWait::event(QStringLiteral("pre-download"), total - doneBytes()));
        setState(MeteredWaiting);
        return false;
    }
    return goOnUnlessHeld();
}

void PreDownload::downloadAnyway() {
    if (current == MeteredWaiting && manager)
        goOnUnlessHeld();
}

bool PreDownload::goOnUnlessHeld() {
    if (holdsForGame()) {
        setState(Held);
        return false;
    }
    if (pausedByPlayer) {
        setState(Paused);
        return false;
    }
    goOn();
    tickTimer->start();
    setState(Fetching);
    return false;
}
