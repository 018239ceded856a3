// The built launcher as a process: command line, second start, the first event at a real sink, and
// the end of the session (a signal) in the middle of a download.
#include "download/resumerecord.h"
#include "support/httpserver.h"
#include "support/launcherprocess.h"
#include "support/testfiles.h"
#include "trust/versiontable.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString binaryDir() {
    return qEnvironmentVariable("KESTRIVANE_BINARY_DIR");
}

QString productBinary() {
    return binaryDir() + QStringLiteral("/bin/Kestrivane");
}

QString sinkBinary() {
    return binaryDir() + QStringLiteral("/bin/kv-sink");
}

bool runToEnd(QProcess &p, const QString &program, const QStringList &args, int timeoutMs = 30000) {
    p.start(program, args);
    if (!p.waitForStarted(timeoutMs))
        return false;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        return false;
    }
    return true;
}

const QRegularExpression
    DeviceIdPattern(QStringLiteral("^(|-?[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$"));

} // namespace

class LauncherProcessTest : public QObject {
    Q_OBJECT

private:
    // Copies the environment-configured launcher into a fresh install folder as "Kestrivane",
    // with its own configuration home holding the installer's registry value.
    bool prepareInstall(const QTemporaryDir &root, QProcessEnvironment *env, const QString &logUrl,
                        const QString &cdnUrl = QStringLiteral("http://127.0.0.1:9/sea/win_update/")) {
        const QString config = root.path() + QStringLiteral("/config");
        if (!LauncherProcess::install(root.path() + QStringLiteral("/install"), config) ||
            !TestFiles::writeFile(config + QStringLiteral("/Quelvane/registry.ini"),
                                  "[HKEY_CURRENT_USER\\SOFTWARE\\Quelvane]\nFilename=Setup_gcA1B2lid.exe\n"))
            return false;
        // Nothing listens on port 9: unless given, the version check just fails and retries.
        *env = LauncherProcess::environment(config, QStringLiteral("http://127.0.0.1:9"));
        env->insert(QStringLiteral("KESTRIVANE_TEST_LOG_URL"), logUrl);
        env->insert(QStringLiteral("KESTRIVANE_TEST_CDN_BASE_URL"), cdnUrl);
        return true;
    }

    // A release of "data.pak" beside this launcher's own version, served by `server`, and an install
    // that fetches it from there and logs its events there.
    bool prepareDataRelease(HttpServer *server, const QByteArray &data, const QTemporaryDir &root,
                            QProcessEnvironment *env) {
        server->setFile("/sea/win_update/v1_data.pak", data);
        server->setFile("/sea/win_update/version3.txt",
                        QStringLiteral("Kestrivane.exe:0.11:%1:1\ndata.pak:1:%2:%3\n")
                            .arg(TestFiles::md5Hex("x"), TestFiles::md5Hex(data))
                            .arg(data.size())
                            .toUtf8());
        return prepareInstall(root, env, server->url(QStringLiteral("/c_bq_log/bq_log")),
                              server->url(QStringLiteral("/sea/win_update/")));
    }

    static void checkStartedBody(const QByteArray &body) {
        const QJsonObject o = QJsonDocument::fromJson(body).object();
        const QString deviceId = o.value(QStringLiteral("deviceId")).toString();
        QVERIFY2(DeviceIdPattern.match(deviceId).hasMatch(), qPrintable(deviceId));
        const QByteArray expected =
            "{\"deviceId\":\"" + deviceId.toUtf8() +
            "\",\"event\":\"launcher started\",\"gclid\":\"A1B2\",\"src\":\"game_launcher\"}";
        QCOMPARE(body, expected);
    }

private slots:
    void versionOption_data() {
        QTest::addColumn<QString>("option");
        QTest::newRow("short") << "-v";
        QTest::newRow("long") << "--version";
    }

    void versionOption() {
        QFETCH(QString, option);
        QProcess p;
        QVERIFY(runToEnd(p, productBinary(), {option}));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardOutput().trimmed(), QByteArray("Kestrivane 0.11"));
    }

    void unknownOptionExitsWithOne() {
        QProcess p;
        QVERIFY(runToEnd(p, productBinary(), {QStringLiteral("--bogus")}));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("bogus"));
        QVERIFY(p.readAllStandardOutput().isEmpty());
    }

    void launcherStartedReachesTheServerAndASecondStartHandsOver() {
        HttpServer server;
        QVERIFY(server.listen());
        QTemporaryDir root;
        QProcessEnvironment env;
        QVERIFY(prepareInstall(root, &env, server.url(QStringLiteral("/c_bq_log/bq_log"))));
        const QString program = root.path() + QStringLiteral("/install/Kestrivane");

        QProcess first;
        first.setProcessEnvironment(env);
        first.start(program, QStringList());
        QVERIFY(first.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(!server.requestsFor("/c_bq_log/bq_log").isEmpty(), 20000);
        checkStartedBody(server.requestsFor("/c_bq_log/bq_log").first().body);

        // A second start hands over and leaves with 0 while the first keeps running (--verify is
        // an option it knows).
        QProcess second;
        second.setProcessEnvironment(env);
        QVERIFY(runToEnd(second, program, {QStringLiteral("--verify")}));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);

        LauncherProcess::stop(&first);
    }

    // The CDN down at start ends in the fatal error; starting the launcher again checks at once
    // (the launcher's own next try is 30 s away).
    void secondStartAfterTheFatalErrorChecksAgain() {
        HttpServer server;
        QVERIFY(server.listen());
        const QByteArray versionPath = "/sea/win_update/version3.txt";
        HttpServer::Faults down;
        down.status = 500;
        server.setFaults(versionPath, down);
        QTemporaryDir root;
        QProcessEnvironment env;
        QVERIFY(prepareInstall(root, &env, server.url(QStringLiteral("/c_bq_log/bq_log")),
                               server.url(QStringLiteral("/sea/win_update/"))));
        const QString program = root.path() + QStringLiteral("/install/Kestrivane");

        QProcess first;
        first.setProcessEnvironment(env);
        first.start(program, QStringList());
        QVERIFY(first.waitForStarted(10000));
        // The third failed request is reported right after the fatal text is shown.
        const auto failures = [&]() {
            int n = 0;
            for (const HttpServer::Request &r : server.requestsFor("/c_bq_log/bq_log"))
                n += r.body.contains("version file download network error") ? 1 : 0;
            return n;
        };
        QTRY_COMPARE_WITH_TIMEOUT(failures(), 3, 20000);
        QCOMPARE(server.requestsFor(versionPath).size(), 3);

        server.clearFaults();
        QProcess second;
        second.setProcessEnvironment(env);
        QVERIFY(runToEnd(second, program, QStringList()));
        QCOMPARE(second.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(server.requestsFor(versionPath).size(), 4, 15000);

        LauncherProcess::stop(&first);
    }

    void selfUpdateEndsTheProcessWithZero() {
        HttpServer server;
        QVERIFY(server.listen());
        const QString base = server.url();
        QByteArray payload(200000, '\0');
        for (int i = 0; i < payload.size(); ++i)
            payload[i] = char(i % 253);
        server.setFile("/sea/win_update/version3.txt", QStringLiteral("Kestrivane.exe:0.12:%1:%2\n")
                                                           .arg(TestFiles::md5Hex(payload))
                                                           .arg(payload.size())
                                                           .toUtf8());
        server.setFile("/sea/win_update/v0.12_Kestrivane.exe", payload);

        QTemporaryDir root;
        QProcessEnvironment env;
        QVERIFY(prepareInstall(root, &env, base + QStringLiteral("/c_bq_log/bq_log"),
                               base + QStringLiteral("/sea/win_update/")));
        const QString install = root.path() + QStringLiteral("/install");
        QFile script(install + QStringLiteral("/update.sh"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/update-args.txt\"\n");
        script.close();

        QProcess launcher;
        launcher.setProcessEnvironment(env);
        // The server lives in this thread: wait with the event loop running.
        launcher.start(install + QStringLiteral("/Kestrivane"), QStringList());
        QVERIFY(launcher.waitForStarted(10000));
        QTRY_COMPARE_WITH_TIMEOUT(launcher.state(), QProcess::NotRunning, 30000);
        QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launcher.exitCode(), 0);
        QFile written(install + QStringLiteral("/v0.12_Kestrivane.exe"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), payload);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(install + QStringLiteral("/update-args.txt")).size() > 0, 10000);
        QFile args(install + QStringLiteral("/update-args.txt"));
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(args.readAll(), QByteArray("v0.12_Kestrivane.exe\n"));
        // The version check's event went out before the window closed.
        bool checked = false;
        for (const HttpServer::Request &r : server.requestsFor("/c_bq_log/bq_log"))
            checked |= r.body.contains("\"result\":\"need to update launcher\"");
        QVERIFY(checked);
    }

    void sessionEndDuringADownloadLeavesInOrder_data() {
        QTest::addColumn<QString>("signalName");
        QTest::addColumn<bool>("underNohup");
        QTest::newRow("shutdown") << QStringLiteral("TERM") << false;
        QTest::newRow("log-off") << QStringLiteral("HUP") << false;
        // Started to outlive its terminal: a hang-up changes nothing, a shutdown still counts.
        QTest::newRow("hang-up under nohup") << QStringLiteral("HUP") << true;
    }

    // A shutdown or log-off while a file comes in: the launcher leaves as its EXIT does, without
    // the question (it would hold up the shutdown). It ends with 0, the piece that arrived stays
    // recorded beside the file, and the next start offers the download again.
    void sessionEndDuringADownloadLeavesInOrder() {
        QFETCH(QString, signalName);
        QFETCH(bool, underNohup);
        HttpServer server;
        QVERIFY(server.listen());
        // Two pieces: the short second one arrives at once, the first only trickles in.
        const QByteArray data = TestFiles::patternBytes(4 * 1024 * 1024 + 300000);
        const QByteArray dataPath = "/sea/win_update/v1_data.pak";
        HttpServer::Faults slow;
        slow.bytesPerSecond = 50000;
        server.setFaults(dataPath, slow, 0);
        QTemporaryDir root;
        QProcessEnvironment env;
        QVERIFY(prepareDataRelease(&server, data, root, &env));
        const QString install = root.path() + QStringLiteral("/install");
        const QString target = install + QStringLiteral("/data.pak");

        QProcess launcher;
        launcher.setProcessEnvironment(env);
        launcher.setProcessChannelMode(QProcess::ForwardedChannels);
        const QString program = install + QStringLiteral("/Kestrivane");
        if (underNohup)
            launcher.start(QStringLiteral("nohup"), {program});
        else
            launcher.start(program, QStringList());
        QVERIFY(launcher.waitForStarted(10000));
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
        QTRY_VERIFY_WITH_TIMEOUT(secondPieceRecorded(), 30000);
        QVERIFY(server.bodyBytesSent() < data.size());

        const auto send = [&](const QString &name) {
            QProcess::execute(QStringLiteral("kill"),
                              {QStringLiteral("-") + name, QString::number(launcher.processId())});
        };
        send(signalName);
        if (underNohup) {
            // The first piece keeps coming in.
            const qint64 sent = server.bodyBytesSent();
            QTRY_VERIFY_WITH_TIMEOUT(server.bodyBytesSent() > sent + 100000, 15000);
            QCOMPARE(launcher.state(), QProcess::Running);
            send(QStringLiteral("TERM"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(launcher.state(), QProcess::NotRunning, 15000);
        QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launcher.exitCode(), 0);

        QSettings config(install + QStringLiteral("/config.ini"), QSettings::IniFormat);
        QCOMPARE(config.value(QStringLiteral("download_config/manual_resume")).toString(),
                 QStringLiteral("true"));
        QVERIFY(!config.contains(QStringLiteral("version/data.pak")));
        // What arrived stays recorded for the next start.
        QVERIFY(secondPieceRecorded());

        // Left during the download, as its EXIT reports it.
        QList<QJsonObject> closed;
        for (const HttpServer::Request &r : server.requestsFor("/c_bq_log/bq_log")) {
            const QJsonObject o = QJsonDocument::fromJson(r.body).object();
            if (o.value(QStringLiteral("event")).toString() == QLatin1String("launcher closed"))
                closed.append(o);
        }
        QCOMPARE(closed.size(), 1);
        QCOMPARE(closed.first().value(QStringLiteral("curr downloading")).toInt(), 1);
        QCOMPARE(closed.first().value(QStringLiteral("total_update_count")).toInt(), 1);
    }

    // An event log that takes every event and never answers: leaving waits for it only a short,
    // bounded while, and nothing of the run goes on meanwhile (the trickling piece is not asked
    // for again).
    void leavingWithAnEventLogThatNeverAnswers() {
        HttpServer server;
        QVERIFY(server.listen());
        const QByteArray data = TestFiles::patternBytes(300000);
        const QByteArray dataPath = "/sea/win_update/v1_data.pak";
        HttpServer::Faults slow;
        slow.bytesPerSecond = 20000;
        server.setFaults(dataPath, slow);
        HttpServer::Faults silent;
        silent.hold = true;
        server.setFaults("/c_bq_log/bq_log", silent);
        QTemporaryDir root;
        QProcessEnvironment env;
        QVERIFY(prepareDataRelease(&server, data, root, &env));
        QProcess launcher;
        launcher.setProcessEnvironment(env);
        launcher.setProcessChannelMode(QProcess::MergedChannels);
        launcher.start(root.path() + QStringLiteral("/install/Kestrivane"), QStringList());
        QVERIFY(launcher.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(server.bodyBytesSent() > 20000, 30000);
        QVERIFY(server.bodyBytesSent() < data.size());

        QProcess::execute(QStringLiteral("kill"),
                          {QStringLiteral("-TERM"), QString::number(launcher.processId())});
        QTRY_COMPARE_WITH_TIMEOUT(launcher.state(), QProcess::NotRunning, 15000);
        QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launcher.exitCode(), 0);
        const QByteArray output = launcher.readAll();
        QVERIFY2(output.contains("events not answered when the launcher left"),
                 output.right(2000).constData());
        // The launcher closed event went out, unanswered like the others.
        bool closed = false;
        for (const HttpServer::Request &r : server.requestsFor("/c_bq_log/bq_log"))
            closed |= r.body.contains("\"event\":\"launcher closed\"");
        QVERIFY(closed);
        QCOMPARE(server.requestsFor(dataPath).size(), 1);
        server.release();
    }

    void launcherStartedReachesTheSink() {
        if (!QFile::exists(sinkBinary()))
            QSKIP("kv-sink is not built");
        QTemporaryDir root;
        const QString out = root.path() + QStringLiteral("/sink");
        const QString portFile = root.path() + QStringLiteral("/ports.txt");
        QProcess sink;
        sink.start(sinkBinary(), {QStringLiteral("--out"), out, QStringLiteral("--log-port"),
                                  QStringLiteral("0"), QStringLiteral("--crash-port"), QStringLiteral("0"),
                                  QStringLiteral("--port-file"), portFile});
        QVERIFY(sink.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(portFile).size() > 0, 10000);
        QFile ports(portFile);
        QVERIFY(ports.open(QIODevice::ReadOnly));
        int logPort = 0;
        for (const QByteArray &l : ports.readAll().split('\n')) {
            if (l.startsWith("log="))
                logPort = l.mid(4).trimmed().toInt();
        }
        QVERIFY(logPort > 0);

        QProcessEnvironment env;
        QVERIFY(
            prepareInstall(root, &env, QStringLiteral("http://127.0.0.1:%1/c_bq_log/bq_log").arg(logPort)));
        QProcess launcher;
        launcher.setProcessEnvironment(env);
        launcher.start(root.path() + QStringLiteral("/install/Kestrivane"), QStringList());
        QVERIFY(launcher.waitForStarted(10000));

        auto firstLine = [&]() -> QByteArray {
            const QStringList files = QDir(out).entryList({QStringLiteral("*.jsonl")}, QDir::Files);
            if (files.isEmpty())
                return QByteArray();
            QFile f(out + QLatin1Char('/') + files.first());
            if (!f.open(QIODevice::ReadOnly))
                return QByteArray();
            return f.readLine().trimmed();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!firstLine().isEmpty(), 20000);
        checkStartedBody(firstLine());

        LauncherProcess::stop(&launcher);
        LauncherProcess::stop(&sink);
    }
};

QTEST_GUILESS_MAIN(LauncherProcessTest)
#include "test_launcher_process.moc"
