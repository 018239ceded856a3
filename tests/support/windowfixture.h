#pragma once

// Shared set-up of the in-process window tests: the release fixture (a temporary launcher
// directory, a private configuration home, one HTTP server on 127.0.0.1 playing the CDN, the
// event log and the crash-upload endpoint) and the window. The build constants point at the server
// through the environment: the test's main() is KV_LAUNCHER_TEST_MAIN. A test class derives from
// WindowFixture and gets its initTestCase/init/cleanup unless it declares its own (which then call
// the fixture's steps).

#include "launcher/launcherupdatertestaccess.h"
#include "support/releasefixture.h"
#include "widgets/confirmdialog.h"
#include "workflow/archiveextraction.h"
#include "workflow/gameresourceupdate.h"
#include "workflow/selfupdate.h"
#include "workflow/versioncheck.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace WindowTest {

using namespace ReleaseTest;

inline QStringList argTexts(const TranslatableLabel *label) {
    QStringList texts;
    for (const LabelArg &a : label->args())
        texts << a.toText();
    return texts;
}

// Notes when the window receives its Close event (the window ends the process by closing).
class CloseWatcher : public QObject {
public:
    QElapsedTimer clock;
    qint64 closedAtMs = -1;
    int closeEvents = 0;
    explicit CloseWatcher(QObject *target) {
        target->installEventFilter(this);
        clock.start();
    }
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Close && closeEvents++ == 0)
            closedAtMs = clock.elapsed();
        return false;
    }
};

// Answers the next modal question of the window while it lives: the confirm or the cancel button
// of a ConfirmDialog (any other dialog is rejected), noting what the window showed meanwhile.
class QuestionAnswerer : public QObject {
public:
    bool asked = false;
    bool overlayShown = false;
    QString message;

    QuestionAnswerer(LauncherUpdater *window, bool confirm) {
        connect(&poll, &QTimer::timeout, this, [this, window, confirm]() {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            poll.stop();
            asked = true;
            overlayShown = LauncherUpdaterTestAccess::overlay(window)->isVisible();
            auto *question = qobject_cast<ConfirmDialog *>(dialog);
            if (!question) {
                dialog->reject();
                return;
            }
            message = question->contentLabel->text();
            QTest::mouseClick(confirm ? question->confirmButton : question->cancelButton, Qt::LeftButton);
        });
        poll.start(20);
    }

private:
    QTimer poll;
};

} // namespace WindowTest

class WindowFixture : public ReleaseFixture {
    Q_OBJECT

public:
    using A = LauncherUpdaterTestAccess;

    LauncherUpdater *window = nullptr;

    // Deletes the window once the server has answered every event it sent.
    void deleteWindowQuietly() {
        if (window)
            waitForLogPosts(window);
        delete window;
        window = nullptr;
    }

    void tearDownDirs() {
        server->release();
        deleteWindowQuietly();
        ReleaseFixture::tearDownDirs();
    }

    LauncherUpdater *makeWindow() {
        window = new LauncherUpdater();
        window->show();
        return window;
    }

    void closeWindow() {
        deleteWindowQuietly();
        VersionTable::release();
    }

    Ui::LauncherUpdater *ui() const { return A::ui(window); }
    LauncherWorkflow *flow() const { return window->workflow(); }

    // The update ends with the game ready and "UPDATE_FINISHED" shown.
    void waitForUpdateFinished(int timeoutMs = 30000) {
        QTRY_VERIFY_WITH_TIMEOUT(window && A::gameState(window) == 2, timeoutMs);
        QCOMPARE(ui()->gameSrcDownloadInfo->textKey(), QStringLiteral("UPDATE_FINISHED"));
    }

    // Runs the window's exit sequence, answering its question (when one comes) with the confirm
    // button or by cancelling. True when a question came.
    bool exitAnswering(bool confirm) {
        WindowTest::QuestionAnswerer answer(window, confirm);
        A::exitApp(window);
        return answer.asked;
    }

    // The window was left during a download: it is gone, its one "launcher closed" event counts
    // the file being fetched and the files of the update, and the next start offers to resume.
    void checkLeftDuringDownload(int currentFile, int fileCount) {
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("launcher closed")).size(), 1, 5000);
        const QJsonObject closed = events(QStringLiteral("launcher closed")).first();
        QCOMPARE(closed.value(QStringLiteral("curr downloading")).toInt(-1), currentFile);
        if (fileCount >= 0)
            QCOMPARE(closed.value(QStringLiteral("total_update_count")).toInt(-1), fileCount);
        QCOMPARE(manualResume().toString(), QStringLiteral("true"));
    }

protected slots:
    void initTestCase() {
        qApp->setQuitOnLastWindowClosed(false);
        QVERIFY(startServer());
    }
    void init() { setUpDirs(); }
    void cleanup() { tearDownDirs(); }
};
