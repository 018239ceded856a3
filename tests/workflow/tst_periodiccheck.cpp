// A launcher left open on the ready game page fetches the version file again on the coming list's
// period: a newer release is installed in the background without a restart, never while the game
// runs, a newer launcher only once the window is shown, and a check that fails changes nothing.

#include "support/workflowfixture.h"

using namespace WorkflowTest;

class PeriodicCheckTest : public WorkflowFixture {
    Q_OBJECT

    int updatedInBackground = 0;

    // Release 1 installed with the stub game, and the launcher left open on its page.
    void openOnReadyPage(const QByteArray &gameIni) {
        STEP(installStubGame(gameIni));
        publish(QStringLiteral("game.pak"), QStringLiteral("1"), randomBytes(200000, 1));
        STEP(installRelease());
        WorkflowSetup setup = fastSetup();
        setup.preloadCheckMs = 200;
        makeWorkflow(setup);
        updatedInBackground = 0;
        connect(flow, &LauncherWorkflow::updatedInBackground, this, [this]() { ++updatedInBackground; });
        STEP(waitForReady());
        phases.clear();
    }

    void expectInstalled(const QByteArray &data, const QString &version) {
        QTRY_COMPARE_WITH_TIMEOUT(updatedInBackground, 1, 30000);
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/game.pak")), data);
        QCOMPARE(configValue(QStringLiteral("version/game.pak")), version);
        QVERIFY(phases.contains(LauncherWorkflow::Downloading));
        QCOMPARE(gamePages, 1); // on the same page, without a restart
    }

private slots:
    void newerReleaseInstalledWhileLeftOpen() {
        STEP(openOnReadyPage(QByteArray()));
        // The CDN away at two checks: the page stays as it was.
        HttpServer::Faults away;
        away.status = 503;
        server->setFaults(ReleaseTest::VersionPath, away);
        const int before = versionRequests();
        QTRY_VERIFY_WITH_TIMEOUT(versionRequests() >= before + 6, 20000);
        QCOMPARE(phases, QList<Phase>());
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("UPDATE_FINISHED"));
        QCOMPARE(VersionTable::instance().value(QStringLiteral("game.pak")).version, QStringLiteral("1"));
        server->clearFaults();
        const QByteArray two =
            publish(QStringLiteral("game.pak"), QStringLiteral("2"), randomBytes(200000, 2));
        STEP(expectInstalled(two, QStringLiteral("2")));
    }

    void releaseWaitsForTheGameToEnd() {
        STEP(openOnReadyPage("wait_ms=1500\n"));
        int fetchedWhilePlaying = -1;
        connect(flow, &LauncherWorkflow::phaseChanged, this, [&](Phase p) {
            if (p != LauncherWorkflow::GameRunning && phases.contains(LauncherWorkflow::GameRunning) &&
                fetchedWhilePlaying < 0)
                fetchedWhilePlaying = getsFor(QStringLiteral("game.pak"));
        });
        flow->gameBtnClicked();
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::GameRunning, 20000);
        const QByteArray two =
            publish(QStringLiteral("game.pak"), QStringLiteral("2"), randomBytes(200000, 2));
        STEP(expectInstalled(two, QStringLiteral("2")));
        QCOMPARE(fetchedWhilePlaying, 0);
    }

    void newerLauncherWaitsForTheWindow() {
        STEP(openOnReadyPage(QByteArray()));
        flow->setWindowVisible(false);
        publish(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.12"), randomBytes(50000, 4));
        const int before = versionRequests();
        QTRY_VERIFY_WITH_TIMEOUT(versionRequests() >= before + 2, 20000);
        QCOMPARE(flow->phase(), LauncherWorkflow::Ready);
        QCOMPARE(getsFor(QStringLiteral("Kestrivane.exe")), 0);
        flow->setWindowVisible(true);
        QTRY_COMPARE_WITH_TIMEOUT(getsFor(QStringLiteral("Kestrivane.exe")), 1, 20000);
        QVERIFY(phases.contains(LauncherWorkflow::SelfUpdating));
    }
};

KV_WORKFLOW_TEST_MAIN(PeriodicCheckTest)
#include "tst_periodiccheck.moc"
