// The launcher on the Windows platform plugin, with real windows, told by the messages Windows
// sends them that the session ends while a file comes in (kv_win32_sessionend plays the system).
// Under wine the windows need a display: without one the test is skipped.
#include "download/resumerecord.h"
#include "support/httpserver.h"
#include "support/launcherprocess.h"
#include "support/testfiles.h"
#include "trust/versiontable.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString testsDir() {
    return qEnvironmentVariable("KESTRIVANE_BINARY_DIR") + QStringLiteral("/tests");
}

QString sessionEndHelper() {
    return testsDir() + QStringLiteral("/kv_win32_sessionend.exe");
}

} // namespace

class Win32SessionEndTest : public QObject {
    Q_OBJECT

private:
    // Runs the helper to its end while the event loop (and so the test's server) goes on; its
    // exit code, -1 when it did not end within a minute.
    static int runHelper(const QStringList &args, QByteArray *output) {
        QProcess helper;
        helper.setProcessChannelMode(QProcess::MergedChannels);
        helper.start(sessionEndHelper(), args);
        if (!helper.waitForStarted(30000))
            return -1;
        QElapsedTimer clock;
        clock.start();
        while (helper.state() != QProcess::NotRunning && clock.elapsed() < 60000)
            QTest::qWait(50);
        *output = helper.readAll().trimmed();
        if (helper.state() != QProcess::NotRunning) {
            helper.kill();
            helper.waitForFinished(5000);
            return -1;
        }
        return helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1;
    }

private slots:
    void initTestCase() {
        QVERIFY2(QFile::exists(sessionEndHelper()), qPrintable(sessionEndHelper()));
        QByteArray output;
        if (runHelper({QStringLiteral("--probe")}, &output) != 0)
            QSKIP(qPrintable(QStringLiteral("no window can be shown here (%1); under wine this test "
                                            "needs a display")
                                 .arg(QString::fromLocal8Bit(output))));
    }

    void init() {
        // The launcher's own values start anew, as on a machine where it never ran.
        QProcess::execute(
            QStringLiteral("reg.exe"),
            {QStringLiteral("delete"), QStringLiteral("HKCU\\SOFTWARE\\Quelvane"), QStringLiteral("/f")});
    }

    void endDuringADownloadLeavesInOrder_data() {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("cancelledFirst");
        QTest::newRow("shutdown") << QStringLiteral("shutdown") << false;
        QTest::newRow("log-off") << QStringLiteral("logoff") << false;
        // Another program refused the first time: the launcher said yes but keeps downloading.
        QTest::newRow("cancelled, then shutdown") << QStringLiteral("shutdown") << true;
    }

    // Every window of the launcher says yes to the question at once (no exit question holds up the
    // shutdown), and the end leaves as EXIT does: exit code 0, the download offered again at the
    // next start, the piece that arrived recorded beside the file.
    void endDuringADownloadLeavesInOrder() {
        QFETCH(QString, reason);
        QFETCH(bool, cancelledFirst);
        HttpServer server;
        QVERIFY(server.listen());
        // Two pieces: the short second one arrives at once, the first only trickles in.
        const QByteArray data = TestFiles::patternBytes(4 * 1024 * 1024 + 300000);
        const QByteArray dataPath = "/sea/win_update/v1_data.pak";
        server.setFile(dataPath, data);
        HttpServer::Faults slow;
        slow.bytesPerSecond = 50000;
        server.setFaults(dataPath, slow, 0);
        server.setFile("/sea/win_update/version3.txt",
                       QStringLiteral("Kestrivane.exe:0.11:%1:1\ndata.pak:1:%2:%3\n")
                           .arg(TestFiles::md5Hex("x"), TestFiles::md5Hex(data))
                           .arg(data.size())
                           .toUtf8());

        // The launcher in an install folder of its own; its DLLs and plugins stay beside the tests.
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString install = root.path() + QStringLiteral("/install");
        const QString config = root.path() + QStringLiteral("/config");
        QVERIFY(QDir().mkpath(install) && QDir().mkpath(config));
        QVERIFY(QFile::copy(LauncherProcess::envBinary() + QStringLiteral(".exe"),
                            install + QStringLiteral("/Kestrivane.exe")));
        QProcessEnvironment env = LauncherProcess::environment(config, server.url(QString()));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("windows"));
        env.insert(QStringLiteral("QT_PLUGIN_PATH"), QDir::toNativeSeparators(testsDir()));
        env.insert(QStringLiteral("PATH"), QDir::toNativeSeparators(testsDir()) + QLatin1Char(';') +
                                               env.value(QStringLiteral("PATH")));
        const QString target = install + QStringLiteral("/data.pak");

        QProcess launcher;
        launcher.setProcessEnvironment(env);
        launcher.setProcessChannelMode(QProcess::ForwardedChannels);
        launcher.start(install + QStringLiteral("/Kestrivane.exe"), QStringList());
        QVERIFY(launcher.waitForStarted(30000));
        const auto stopLauncher = qScopeGuard([&launcher]() { LauncherProcess::stop(&launcher); });
        RemoteFileInfo listed;
        listed.name = QStringLiteral("data.pak");
        listed.version = QStringLiteral("1");
        listed.md5 = TestFiles::md5Hex(data);
        listed.size = data.size();
        const auto secondPieceRecorded = [&]() {
            ResumeRecord record;
            return ResumeRecord::load(target, listed, &record).ok() && record.isComplete(1);
        };
        // The second piece is recorded while the first still comes in.
        QTRY_VERIFY_WITH_TIMEOUT(secondPieceRecorded(), 60000);
        QVERIFY(server.bodyBytesSent() < data.size());

        const QString pid = QString::number(launcher.processId());
        QByteArray said;
        if (cancelledFirst) {
            QVERIFY2(runHelper({pid, QStringLiteral("cancelled")}, &said) == 0, said.constData());
            // The first piece keeps coming in.
            const qint64 sent = server.bodyBytesSent();
            QTRY_VERIFY_WITH_TIMEOUT(server.bodyBytesSent() > sent + 100000, 15000);
            QCOMPARE(launcher.state(), QProcess::Running);
        }
        const int answered = runHelper({pid, reason}, &said);
        QVERIFY2(answered == 0, said.constData());
        QTRY_COMPARE_WITH_TIMEOUT(launcher.state(), QProcess::NotRunning, 30000);
        QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launcher.exitCode(), 0);

        QSettings settings(install + QStringLiteral("/config.ini"), QSettings::IniFormat);
        QCOMPARE(settings.value(QStringLiteral("download_config/manual_resume")).toString(),
                 QStringLiteral("true"));
        QVERIFY(!settings.contains(QStringLiteral("version/data.pak")));
        // What arrived stays recorded for the next start.
        QVERIFY(secondPieceRecorded());
    }
};

QTEST_GUILESS_MAIN(Win32SessionEndTest)
#include "test_win32sessionend.moc"
