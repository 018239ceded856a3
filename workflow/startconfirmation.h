#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

// When a launcher that an update script started counts as having come up, which turns the script's
// "update.pending" into "update.confirmed": its event loop has run for a while after the window
// first showed and its version check has ended, whichever is later, but no later than a longer
// while after the window showed. A launcher that crashes or hangs before then leaves the mark, and
// the script puts the previous launcher back.
class StartConfirmation : public QObject {
    Q_OBJECT

public:
    StartConfirmation(const QString &folder, int settleMs, int limitMs, QObject *parent = nullptr);

    // The window showed: the clocks start the first time.
    void windowShown();
    // The version check ended, in whatever state.
    void versionCheckEnded();
    // Confirms at once: the launcher leaves in order, or hands over to a further update.
    void confirmNow();

private:
    void confirmWhenDue();

    QString folder;
    QTimer settleTimer;
    QTimer limitTimer;
    bool shown = false;
    bool settled = false;
    bool checkEnded = false;
    bool done = false;
};
