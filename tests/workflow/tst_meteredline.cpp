// On a metered connection the downloads the launcher would start by itself wait for the player. A
// private system bus (dbus-daemon) carries a stand-in answering as NetworkManager does for its
// "Metered" property (KV_FAKE_NETWORK_MANAGER).

#include "support/workflowfixture.h"
#include "workflow/labelargs.h"

#include <QProcess>

using namespace WorkflowTest;

class MeteredLineTest : public WorkflowFixture {
    Q_OBJECT

    QTemporaryDir busDir;
    QProcess bus;
    QProcess networkManager;

    // NetworkManager answers `metered` (NMMetered: 1 yes, 3 guess-yes, 4 guess-no), or is not
    // there at all (-1).
    bool networkManagerSays(int metered) {
        if (networkManager.state() != QProcess::NotRunning) {
            networkManager.kill();
            networkManager.waitForFinished(10000);
        }
        if (metered < 0)
            return true;
        if (!writeFile(busDir.filePath(QStringLiteral("metered")), QByteArray::number(metered)))
            return false;
        networkManager.start(qEnvironmentVariable("KV_FAKE_NETWORK_MANAGER"),
                             {busDir.filePath(QStringLiteral("metered"))});
        return networkManager.waitForReadyRead(10000) && networkManager.readAll().startsWith("ready");
    }

private slots:
    void initTestCase() {
        QVERIFY(busDir.isValid());
        // The session bus's rules let anyone own any name; the address makes it private.
        bus.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"),
                   QStringLiteral("--print-address=1"),
                   QStringLiteral("--address=unix:path=") + busDir.filePath(QStringLiteral("bus"))});
        QVERIFY2(bus.waitForReadyRead(10000), qPrintable(bus.errorString()));
        const QByteArray address = bus.readLine().trimmed();
        QVERIFY(address.startsWith("unix:"));
        // Before anything asks the system bus (the network access manager's bearer plugin does): the
        // process keeps its first connection.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        WorkflowFixture::initTestCase();
    }

    void cleanupTestCase() {
        networkManagerSays(-1);
        bus.kill();
        bus.waitForFinished(10000);
    }

    // The game's update and the launcher's own: what NetworkManager says and the user's setting decide
    // whether they wait for the player, who lets them go with one click.
    void downloadWaitsForThePlayer_data() {
        QTest::addColumn<int>("metered");
        QTest::addColumn<int>("downloadOnMetered");
        QTest::addColumn<QString>("download");
        QTest::addColumn<bool>("waits");
        // First: the one log line of a question that cannot be asked is said once a process.
        QTest::newRow("no NetworkManager") << -1 << 0 << "update" << false;
        QTest::newRow("metered") << 1 << 0 << "update" << true;
        QTest::newRow("guessed metered") << 3 << 0 << "update" << true;
        QTest::newRow("guessed not metered") << 4 << 0 << "update" << false;
        QTest::newRow("metered, the user lets it download") << 1 << 1 << "update" << false;
        QTest::newRow("launcher, metered") << 1 << 0 << "launcher" << true;
    }
    void downloadWaitsForThePlayer() {
        QFETCH(int, metered);
        QFETCH(int, downloadOnMetered);
        QFETCH(QString, download);
        QFETCH(bool, waits);
        QVERIFY(networkManagerSays(metered));
        GlobalSettings::instance()->setValue(DownloadOnMetered, downloadOnMetered);
        const bool launcher = download == QLatin1String("launcher");
        const QString name = launcher ? QStringLiteral("Kestrivane.exe") : QStringLiteral("game.pak");
        const QByteArray data = publish(name, launcher ? QStringLiteral("0.12") : QStringLiteral("1"),
                                        randomBytes(launcher ? 50000 : 300000, 7));
        if (metered < 0)
            QTest::ignoreMessage(
                QtWarningMsg, QRegularExpression("^cannot tell whether the connection is metered, taken as "
                                                 "not metered: NetworkManager did not answer"));
        makeWorkflow();
        if (!waits) {
            STEP(waitForReady());
            QVERIFY(events(QStringLiteral("download waiting metered")).isEmpty());
            return;
        }
        // Its line while it waits: the listed size of what waits. START waits for the game's update.
        const WorkflowStatus::Line line = launcher ? WorkflowStatus::LauncherLine : WorkflowStatus::GameLine;
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::MeteredWaiting, 20000);
        QCOMPARE(key(line), launcher ? QStringLiteral("METERED_LAUNCHER_WAITING")
                                     : QStringLiteral("METERED_UPDATE_WAITING"));
        QCOMPARE(args(line), QStringList{ProgressText::formatSize(float(data.size()))});
        QTRY_COMPARE(events(QStringLiteral("download waiting metered")).size(), 1);
        const QJsonObject waiting = events(QStringLiteral("download waiting metered")).first();
        QCOMPARE(waiting.value(QStringLiteral("download")).toString(), download);
        QCOMPARE(qint64(waiting.value(QStringLiteral("bytes")).toDouble()), qint64(data.size()));
        QVERIFY(launcher ? flow->launcherWaits() : flow->gameState() == 1);
        QCOMPARE(getsFor(name), 0);
        QVERIFY(versionRequests() >= 1);
        flow->downloadBtnClicked();
        if (launcher) {
            QTRY_COMPARE_WITH_TIMEOUT(getsFor(name), 1, 20000);
            return;
        }
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/game.pak")), data);
    }
};

KV_WORKFLOW_TEST_MAIN(MeteredLineTest)
#include "tst_meteredline.moc"
