// A run that ended in a final error is tried again by itself, after pauses that grow, and goes on
// as soon as the CDN answers: no one has to act.
#include "support/teststep.h"
#include "support/workflowfixture.h"

#include <QRegularExpression>

using namespace WorkflowTest;

class RetryAfterFailureTest : public WorkflowFixture {
    Q_OBJECT

    WorkflowSetup retrySetup() const {
        WorkflowSetup setup = fastSetup();
        setup.failedRetryMs = 60;
        setup.failedRetryMaxMs = 240;
        return setup;
    }

    // The pause each final error scheduled, in order.
    QList<int> pauses;
    void recordPauses() {
        pauses.clear();
        connect(flow, &LauncherWorkflow::phaseChanged, this, [this](Phase p) {
            if (p == LauncherWorkflow::Failed)
                pauses << flow->nextRetryPauseMs();
        });
    }

private slots:
    void cdnDownAtStartThenUp() {
        const QByteArray game =
            publish(QStringLiteral("game.bin"), QStringLiteral("3"), randomBytes(200000, 7));
        HttpServer::Faults down;
        down.status = 500;
        server->setFaults(VersionPath, down);
        QSet<QString> launcherKeys;
        makeWorkflow(retrySetup());
        recordPauses();
        connect(flow, &LauncherWorkflow::status, this, [&](WorkflowStatus::Line l, const WorkflowStatus &s) {
            if (l == WorkflowStatus::LauncherLine)
                launcherKeys << s.key;
        });

        QTRY_COMPARE_WITH_TIMEOUT(pauses.size(), 4, 20000);
        QCOMPARE(pauses, QList<int>({60, 120, 240, 240}));
        QCOMPARE(flow->gameState(), 0);
        // Three requests a round; each new round waited at least its pause (timers may fire 5 % early).
        const QList<HttpServer::Request> requests = server->requestsFor(VersionPath);
        QVERIFY(requests.size() >= 12);
        for (int round = 1; round < 4; ++round) {
            const qint64 gap = requests[3 * round].atMs - requests[3 * round - 1].atMs;
            QVERIFY2(gap >= pauses[round - 1] * 95 / 100, qPrintable(QString::number(gap)));
        }

        // The CDN is back: the game installs with no one acting, and the page came once.
        server->clearFaults();
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/game.bin")), game);
        QCOMPARE(gamePages, 1);
        QCOMPARE(launcherKeys,
                 QSet<QString>({QStringLiteral("DETAILED_ERROR"), QStringLiteral("FATAL_ERROR")}));
        // Back to the first pause for a later failure.
        QCOMPARE(flow->nextRetryPauseMs(), 60);
    }

    // The CDN stays away longer than the pieces wait: the files give up and the run is tried again
    // by itself, but the page keeps saying that the connection is lost and when it tries again, and
    // the bar keeps what arrived, until the CDN is back and the game installs.
    void longOutageKeepsTheWaitingTextAndTheBar() {
        const QByteArray big = publish(QStringLiteral("big.bin"), QStringLiteral("1"),
                                       randomBytes(12000000, 27)); // three pieces
        throttle(QStringLiteral("big.bin"), 1500000);
        WorkflowSetup setup = fastSetup();
        setup.pieceRetryFirstMs = 20;
        setup.pieceRetryMaxMs = 100;
        setup.pieceRetryTotalMs = 300;
        setup.failedRetryMs = 1500;
        setup.failedRetryMaxMs = 1500;
        makeWorkflow(setup);
        recordPauses();
        QObject watch;
        float most = 0;
        QList<float> bar;
        bool finished = false;
        QStringList failedTexts; // what the game line said while the run waited to be tried again
        connect(flow, &LauncherWorkflow::progress, &watch, [&](WorkflowStatus::Bar which, float percent) {
            if (which != WorkflowStatus::GameBar || finished)
                return;
            bar << percent;
            most = qMax(most, percent);
        });
        connect(flow, &LauncherWorkflow::status, &watch,
                [&](WorkflowStatus::Line line, const WorkflowStatus &st) {
                    if (line != WorkflowStatus::GameLine)
                        return;
                    finished = finished || st.key == QLatin1String("DOWNLOAD_FINISHED");
                    if (flow->phase() == LauncherWorkflow::Failed)
                        failedTexts << st.key + QLatin1Char(' ') +
                                           WorkflowTest::argTexts(st).join(QLatin1Char(' '));
                });
        QTRY_VERIFY_WITH_TIMEOUT(most > 10, 15000);
        const float before = most;
        server->stopFor(5000);
        // Failed twice at least: the download, then the check tried again while the CDN is away.
        QTRY_VERIFY_WITH_TIMEOUT(pauses.size() >= 2, 20000);
        // Counting down to the next try, from the pause of 1.5 s.
        QVERIFY(!failedTexts.isEmpty());
        for (const QString &text : qAsConst(failedTexts))
            QVERIFY2(QRegularExpression(QStringLiteral("^NETWORK_WAITING [012]$")).match(text).hasMatch(),
                     qPrintable(failedTexts.join(QLatin1String(", "))));
        QVERIFY(most >= before);
        // The pause button stays: it holds the next try, which waits for the player to continue.
        QTRY_VERIFY_WITH_TIMEOUT(flow->waitsOutOutage(), 5000);
        flow->downloadBtnClicked();
        QCOMPARE(flow->phase(), LauncherWorkflow::Paused);
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("DOWNLOAD_PAUSED_TIP"));
        QVERIFY(key(WorkflowStatus::TimeLine).isEmpty());
        const int asked = versionRequests();
        QVERIFY(!QTest::qWaitFor([&] { return versionRequests() > asked; }, setup.failedRetryMs + 300));
        flow->downloadBtnClicked();
        STEP(waitForReady());
        // The bar is emptied as the download finishes, and never before.
        QVERIFY(!bar.isEmpty() && bar.last() == 0.0f);
        bar.removeLast();
        for (int i = 1; i < bar.size(); ++i)
            QVERIFY2(bar.at(i) >= bar.at(i - 1),
                     qPrintable(QStringLiteral("fell from %1 to %2").arg(bar.at(i - 1)).arg(bar.at(i))));
        QCOMPARE(readFile(dir + QStringLiteral("/big.bin")), big);
        QCOMPARE(key(WorkflowStatus::TimeLine), QString());
    }

    // A download that ended in errors is run again from the game page, as is one with the CDN down
    // at the moment of trying; the second start tries at once instead of waiting the pause.
    void failedDownloadIsRunAgain() {
        publishMissing(QStringLiteral("game.bin"), QStringLiteral("3"), 100);
        WorkflowSetup setup = retrySetup();
        // Only tryAgain() makes it try again here.
        setup.failedRetryMs = 60000;
        setup.failedRetryMaxMs = 600000;
        makeWorkflow(setup);
        recordPauses();
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::Failed, 20000);
        QVERIFY(!key(WorkflowStatus::GameLine).isEmpty()); // the download's error
        QCOMPARE(flow->gameState(), 1);
        // Beside it, when the run is tried again by itself.
        QCOMPARE(key(WorkflowStatus::TimeLine), QStringLiteral("RETRY_COUNTDOWN"));
        QCOMPARE(args(WorkflowStatus::TimeLine), QStringList({QStringLiteral("60")}));

        // Tried now, with the CDN down: it fails in the check, still on the game page.
        HttpServer::Faults down;
        down.status = 500;
        server->setFaults(VersionPath, down);
        const int before = versionRequests();
        flow->tryAgain();
        QTRY_COMPARE_WITH_TIMEOUT(pauses.size(), 2, 20000);
        QCOMPARE(versionRequests(), before + 3);
        QCOMPARE(flow->gameState(), 1);
        QCOMPARE(pauses, QList<int>({60000, 120000}));

        // Tried now again, everything served: installed, the game page not asked for again.
        const QByteArray game = publish(QStringLiteral("game.bin"), QStringLiteral("3"), randomBytes(100, 8));
        server->clearFaults();
        flow->tryAgain();
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/game.bin")), game);
        QCOMPARE(gamePages, 1);
        QCOMPARE(flow->resources()->finishedFileCount(), 1);
        // Outside a final error it does nothing.
        flow->tryAgain();
        QCOMPARE(flow->phase(), LauncherWorkflow::Ready);
    }
};

KV_WORKFLOW_TEST_MAIN(RetryAfterFailureTest)
#include "tst_retryafterfailure.moc"
