// The version check and the self-update of the workflow, against a CDN on 127.0.0.1.
#include "support/teststep.h"
#include "support/workflowfixture.h"

#include "platform/platform.h"

#include <QNetworkReply>

using namespace WorkflowTest;
using TestFiles::patternBytes;

class VersionCheckTest : public WorkflowFixture {
    Q_OBJECT

    QString infoText() const { return shown(WorkflowStatus::LauncherLine); }

    // A check that ended stays ended: no further request of the version file comes in the time
    // a few retries would take (the wait ends at once when one comes).
    bool noFurtherVersionRequests() {
        const int before = versionRequests();
        return !QTest::qWaitFor([&] { return versionRequests() > before; }, 300);
    }
    void status(const QByteArray &path, int code) {
        HttpServer::Faults f;
        f.status = code;
        server->setFaults(path, f);
    }
    // A newer launcher release, served or not.
    QByteArray publishLauncher(const QString &version, const QByteArray &payload, const QString &md5) {
        server->setFile(VersionPath, line(QStringLiteral("Kestrivane.exe"), version, md5, payload.size()));
        server->setFile("/sea/win_update/v" + version.toUtf8() + "_Kestrivane.exe", payload);
        return payload;
    }
    void waitForFatal(const QString &error) {
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("Fatal error，") + error, 10000);
        QCOMPARE(flow->phase(), LauncherWorkflow::Failed);
        QVERIFY(!flow->isDownloading());
        QCOMPARE(flow->gameState(), 0);
    }

    // The retries announced from now on, each as its error and attempt number.
    QStringList retryTexts;
    const QStringList &recordRetries() {
        retryTexts.clear();
        connect(flow, &LauncherWorkflow::status, this, [this](WorkflowStatus::Line, const WorkflowStatus &s) {
            if (s.key == QLatin1String("DETAILED_ERROR"))
                retryTexts << argTexts(s).join(QLatin1Char(' '));
        });
        return retryTexts;
    }

private slots:
    // These tests publish their own version file.
    void init() {
        setUpDirs();
        server->clearFiles();
    }

    void delaysAreTheGivenOnes() {
        // The product's: 500 ms before each request and before the game page, 1 s before the
        // game's exit is handled, 2 s before closing after it.
        const WorkflowSetup product = WorkflowSetup::product();
        QCOMPARE(QList<int>({product.versionRetryMs, product.gamePageMs, product.gameExitMs,
                             product.closeAfterGameMs}),
                 QList<int>({500, 500, 1000, 2000}));

        server->setFiles(VersionPath,
                         {QByteArray("Kestrivane.exe:0.11\n"),
                          line(QStringLiteral("Kestrivane.exe"), "0.11", QString(32, 'a'), 123)});
        WorkflowSetup setup = fastSetup();
        setup.versionRetryMs = 300;
        setup.gamePageMs = 300;
        makeWorkflow(setup);
        QTRY_COMPARE_WITH_TIMEOUT(gamePages, 1, 5000);
        const QList<HttpServer::Request> requests = server->requestsFor(VersionPath);
        QCOMPARE(requests.size(), 2);
        // Timers may fire 5 % early.
        QVERIFY(requests[1].atMs - requests[0].atMs >= 285);
        QVERIFY(server->elapsedMs() - requests[1].atMs >= 285);
        QCOMPARE(VersionTable::instance().value(QStringLiteral("Kestrivane.exe")).size, 123);
        QTRY_COMPARE(events(QStringLiteral("check launcher version")).size(), 1);
        QCOMPARE(eventField(QStringLiteral("check launcher version"), QStringLiteral("result")),
                 QStringLiteral("no need to update launcher"));
        QCOMPARE(flow->versionCheck()->retryCount(), 2);
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::Ready})); // nothing to download
    }

    void launcherStartedBodyAndCampaignId() {
        QVERIFY(Platform::setRegistryValue(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Quelvane"),
                                           QStringLiteral("Filename"),
                                           QStringLiteral("Setup_gcA1B2lid.exe")));
        makeWorkflow();
        QCOMPARE(flow->campaignId(), QStringLiteral("A1B2"));
        QTRY_VERIFY_WITH_TIMEOUT(!events(QStringLiteral("launcher started")).isEmpty(), 5000);
        const HttpServer::Request request = server->requestsFor(LogPath).first();
        QCOMPARE(request.body,
                 "{\"deviceId\":\"" + flow->deviceIdentifier().toUtf8() +
                     "\",\"event\":\"launcher started\",\"gclid\":\"A1B2\",\"src\":\"game_launcher\"}");
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
    }

    void comparesVersionsAsNumbers_data() {
        QTest::addColumn<QString>("remote");
        QTest::addColumn<bool>("updates");
        QTest::newRow("0.2 is newer than 0.11") << "0.2" << true;
        QTest::newRow("0.110 equals 0.11") << "0.110" << false;
        QTest::newRow("0.10 is older") << "0.10" << false;
    }

    void comparesVersionsAsNumbers() {
        QFETCH(QString, remote);
        QFETCH(bool, updates);
        server->setFile(VersionPath, line(QStringLiteral("Kestrivane.exe"), remote, QString(32, 'a'), 10));
        const QByteArray launcherPath = "/sea/win_update/v" + remote.toUtf8() + "_Kestrivane.exe";
        status(launcherPath, 404);
        makeWorkflow();
        // A launcher that cannot be fetched (404) is a failed check, tried again at once: there may be
        // more than one event by the time this looks; the first tells.
        QTRY_VERIFY_WITH_TIMEOUT(!events(QStringLiteral("check launcher version")).isEmpty(), 5000);
        const QString result = eventField(QStringLiteral("check launcher version"), QStringLiteral("result"));
        if (updates) {
            QCOMPARE(result, QStringLiteral("need to update launcher"));
            QTRY_VERIFY(server->requestsFor(launcherPath).size() >= 1);
            QCOMPARE(phases.value(0), LauncherWorkflow::SelfUpdating);
        } else {
            QCOMPARE(result, QStringLiteral("no need to update launcher"));
            QTRY_COMPARE_WITH_TIMEOUT(gamePages, 1, 5000);
            QCOMPARE(server->requestsFor(launcherPath).size(), 0);
        }
    }

    // The update script put the previous launcher back after 0.2 did not come up: that start tells
    // it once, 0.2 is not fetched again, and a newer listed launcher is taken as before.
    void launcherThatDidNotComeUpIsNotTakenAgain() {
        QVERIFY(writeFile(dir + QStringLiteral("/update.failed"), "0.2\n"));
        const QByteArray launcherPath = "/sea/win_update/v0.2_Kestrivane.exe";
        publishLauncher(QStringLiteral("0.2"), patternBytes(1000, 3), QString(32, 'a'));
        for (int start = 0; start < 2; ++start) {
            makeWorkflow();
            QTRY_COMPARE_WITH_TIMEOUT(gamePages, 1, 5000);
            QTRY_COMPARE(events(QStringLiteral("check launcher version")).size(), start + 1);
            QCOMPARE(events(QStringLiteral("check launcher version")).last().value("result").toString(),
                     QStringLiteral("launcher update failed before"));
            QCOMPARE(server->requestsFor(launcherPath).size(), 0);
            closeWorkflow();
        }
        const QList<QJsonObject> told = events(QStringLiteral("launcher update failed"));
        QCOMPARE(told.size(), 1);
        QCOMPARE(told.first().value("version").toString(), QStringLiteral("0.11"));
        QCOMPARE(told.first().value("failedVersion").toString(), QStringLiteral("0.2"));
        QCOMPARE(readFile(dir + QStringLiteral("/update.failed")), QByteArray("0.2 reported\n"));

        // Another launcher listed: taken, and the failure forgotten.
        publishLauncher(QStringLiteral("0.3"), patternBytes(1000, 4), QString(32, 'a'));
        makeWorkflow();
        QTRY_COMPARE_WITH_TIMEOUT(server->requestsFor("/sea/win_update/v0.3_Kestrivane.exe").size(), 1, 5000);
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/update.failed")));
    }

    // A note that is not the scripts' is ignored, never trusted.
    void unreadableUpdateNoteIsIgnored_data() {
        QTest::addColumn<QByteArray>("note");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not a version") << QByteArray("../../etc\n");
        QTest::newRow("oversized") << QByteArray(4096, '1');
    }
    void unreadableUpdateNoteIsIgnored() {
        QFETCH(QByteArray, note);
        QVERIFY(writeFile(dir + QStringLiteral("/update.failed"), note));
        publishLauncher(QStringLiteral("0.2"), patternBytes(1000, 3), QString(32, 'a'));
        status("/sea/win_update/v0.2_Kestrivane.exe", 404);
        makeWorkflow();
        QTRY_VERIFY_WITH_TIMEOUT(!events(QStringLiteral("check launcher version")).isEmpty(), 5000);
        QCOMPARE(eventField(QStringLiteral("check launcher version"), QStringLiteral("result")),
                 QStringLiteral("need to update launcher"));
        QVERIFY(events(QStringLiteral("launcher update failed")).isEmpty());
    }

    void serverErrorIsFinal_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("version is not a number") << line("Kestrivane.exe", "abc", QString(32, 'a'), 1);
        QTest::newRow("version is empty") << line("Kestrivane.exe", "", QString(32, 'a'), 1);
        QTest::newRow("no launcher line") << line("game.zip", "3", QString(32, 'a'), 1);
        QTest::newRow("empty file") << QByteArray("\n\n");
    }

    void serverErrorIsFinal() {
        QFETCH(QByteArray, file);
        server->setFile(VersionPath, file);
        makeWorkflow();
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("check launcher version")).size(), 1, 5000);
        QCOMPARE(eventField(QStringLiteral("check launcher version"), QStringLiteral("result")),
                 QStringLiteral("server error"));
        QCOMPARE(infoText(), QStringLiteral("Load failed, server error"));
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::Failed}));
        QVERIFY(!flow->isDownloading());
        QVERIFY(noFurtherVersionRequests());
        QCOMPARE(versionRequests(), 1);
        QCOMPARE(gamePages, 0);
    }

    void shortLineIsAParseErrorAndRetried() {
        const QByteArray bad = line("game.zip", "1", QString(32, 'b'), 5) + "Kestrivane.exe:0.11:abc\n";
        const QByteArray good = line("Kestrivane.exe", "0.11", QString(32, 'a'), 5);
        server->setFiles(VersionPath, {bad, good});
        // What the table held when the retry was announced: the records of the lines before the bad one.
        QStringList tableAtRetry;
        makeWorkflow();
        connect(flow, &LauncherWorkflow::status, this, [&](WorkflowStatus::Line, const WorkflowStatus &s) {
            if (s.key == QLatin1String("DETAILED_ERROR"))
                tableAtRetry = VersionTable::instance().keys();
        });
        QTRY_COMPARE_WITH_TIMEOUT(gamePages, 1, 5000);
        QCOMPARE(infoText(), QStringLiteral("Version parsing error, will try again. Tried 2 time(s)"));
        QCOMPARE(tableAtRetry, QStringList({QStringLiteral("game.zip")}));
        QCOMPARE(versionRequests(), 2);
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::Ready}));
        // The next attempt's file alone makes the table: the refused file's lines are gone.
        QCOMPARE(VersionTable::instance().keys(), QStringList({QStringLiteral("Kestrivane.exe")}));
    }

    void unsafeNamesAreRefused_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("parent") << "..";
        QTest::newRow("dot") << ".";
        QTest::newRow("climbing path") << "../evil.exe";
        QTest::newRow("absolute path") << "/tmp/evil.exe";
        QTest::newRow("sub folder") << "sub/evil.exe";
        QTest::newRow("backslash") << "..\\evil.exe";
        QTest::newRow("NUL") << QStringLiteral("evil") + QChar(0) + QStringLiteral(".exe");
        QTest::newRow("empty") << "";
        QTest::newRow("download configuration") << "config.ini";
        QTest::newRow("settings file") << "Settings.INI";
        QTest::newRow("update script") << "update.vbs";
        QTest::newRow("unix update script") << "update.sh";
        QTest::newRow("device name") << "NUL";
        QTest::newRow("device with extension") << "COM1.txt";
        QTest::newRow("trailing dot") << "res.zip.";
        QTest::newRow("trailing space") << "res.zip ";
    }

    void unsafeNamesAreRefused() {
        QFETCH(QString, name);
        server->setFile(VersionPath,
                        line(name, "1", QString(32, 'c'), 5) + line("Kestrivane.exe", "0.11", "x", 5));
        makeWorkflow();
        // Every attempt meets the same file: three requests, then the fatal text, nothing written.
        STEP(waitForFatal(QStringLiteral("Version parsing error")));
        QVERIFY(!VersionTable::instance().contains(name));
        QVERIFY(!VersionTable::instance().contains(QStringLiteral("Kestrivane.exe")));
        QVERIFY(noFurtherVersionRequests());
        QCOMPARE(versionRequests(), 3);
        QCOMPARE(events(QStringLiteral("check launcher version")).size(), 0);
        QCOMPARE(QDir(root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList({"config", "install"}));
    }

    void networkFailuresEndInAFatalError_data() {
        QTest::addColumn<int>("mode");
        QTest::newRow("HTTP 500") << 0;
        QTest::newRow("connection reset") << 1;
        QTest::newRow("HTTP 404") << 2;
    }

    void networkFailuresEndInAFatalError() {
        QFETCH(int, mode);
        HttpServer::Faults f;
        f.status = mode == 2 ? 404 : 500;
        f.abort = mode == 1;
        server->setFaults(VersionPath, f);
        makeWorkflow();
        const QStringList &retries = recordRetries();
        const QString network = QStringLiteral("Network error, please check the network connection");
        STEP(waitForFatal(network));
        QCOMPARE(retries, QStringList({network + QStringLiteral(" 2"), network + QStringLiteral(" 3")}));
        const int requestsAtTheEnd = versionRequests();
        QVERIFY(noFurtherVersionRequests());
        // Qt itself repeats a request once when a kept-alive connection is reset under it.
        if (mode == 1)
            QVERIFY(requestsAtTheEnd >= 3 && requestsAtTheEnd <= 6);
        else
            QCOMPARE(requestsAtTheEnd, 3);
        QTRY_COMPARE(events(QStringLiteral("version file download network error")).size(), 3);
        for (const QJsonObject &o : events(QStringLiteral("version file download network error")))
            QVERIFY(o.value(QStringLiteral("code")).toInt() > 0);
        QCOMPARE(gamePages, 0);
    }

    void oversizedVersionFileIsANetworkError() {
        server->setFiles(VersionPath,
                         {QByteArray(17 * 1024 * 1024, 'x'), line("Kestrivane.exe", "0.11", "x", 1)});
        HttpServer::Faults hugeWithoutLength;
        hugeWithoutLength.noLength = true;
        hugeWithoutLength.firstRequests = 1;
        server->setFaults(VersionPath, hugeWithoutLength);
        makeWorkflow();
        QTRY_COMPARE_WITH_TIMEOUT(gamePages, 1, 10000);
        QCOMPARE(infoText(),
                 QStringLiteral(
                     "Network error, please check the network connection, will try again. Tried 2 time(s)"));
        QTRY_COMPARE(events(QStringLiteral("version file download network error")).size(), 1);
        QCOMPARE(events(QStringLiteral("version file download network error")).first().value("code").toInt(),
                 int(QNetworkReply::OperationCanceledError));
        QCOMPARE(VersionTable::instance().size(), 1);
    }

    void crlfVersionFileUpdatesTheLauncher() {
        // Windows line ends read like plain line feeds: the sizes stay numbers and the update runs.
        const QByteArray payload = patternBytes(300000);
        const QByteArray md5 = TestFiles::md5Hex(payload).toLatin1();
        server->setFile(VersionPath, "Kestrivane.exe:0.2:" + md5 +
                                         ":300000\r\ngame.zip:7:" + QByteArray(32, 'b') + ":456\r\n");
        server->setFile("/sea/win_update/v0.2_Kestrivane.exe", payload);
        const QString written = dir + QStringLiteral("/v0.2_Kestrivane.exe");
        makeWorkflow();
        QTRY_VERIFY_WITH_TIMEOUT(handedOver, 10000);
        QCOMPARE(VersionTable::instance().value(QStringLiteral("Kestrivane.exe")).size, 300000);
        QCOMPARE(VersionTable::instance().value(QStringLiteral("game.zip")).size, 456);
        QCOMPARE(VersionTable::instance().value(QStringLiteral("game.zip")).md5, QString(32, 'b'));
        QCOMPARE(readFile(written), payload);

        // A size that still cannot be read bounds the download by a fixed ceiling instead.
        closeWorkflow();
        QVERIFY(QFile::remove(written));
        server->setFile(VersionPath, "Kestrivane.exe:0.2:" + md5 + ":300 000\r\n");
        makeWorkflow();
        QTRY_VERIFY_WITH_TIMEOUT(handedOver, 10000);
        QCOMPARE(VersionTable::instance().value(QStringLiteral("Kestrivane.exe")).size, 0);
        QCOMPARE(readFile(written), payload);
    }

    void selfUpdateWritesTheFileAndRunsTheScript() {
        QVERIFY(writeFile(dir + QStringLiteral("/update.sh"),
                          "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/update-args.txt\"\n"));
        const QByteArray payload = patternBytes(300000);
        publishLauncher(QStringLiteral("0.2"), payload, TestFiles::md5Hex(payload));
        makeWorkflow();
        QTRY_VERIFY_WITH_TIMEOUT(handedOver, 10000);
        QCOMPARE(readFile(dir + QStringLiteral("/v0.2_Kestrivane.exe")), payload);
        // The script runs detached; a loaded machine takes seconds to start it.
        QTRY_COMPARE_WITH_TIMEOUT(readFile(dir + QStringLiteral("/update-args.txt")),
                                  QByteArray("v0.2_Kestrivane.exe\n"), 20000);
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::SelfUpdating}));
        QVERIFY(!flow->isDownloading());
        QCOMPARE(bars.value(WorkflowStatus::LauncherBar), 100.0f);
        QCOMPARE(infoText(), QStringLiteral("Updating 292.97KB/292.97KB"));
        // No temporary file left behind.
        QCOMPARE(QDir(dir).entryList({QStringLiteral("*Kestrivane*")}, QDir::AllEntries | QDir::Hidden),
                 QStringList({"v0.2_Kestrivane.exe"}));
    }

    void upperCaseDigestIsAVerifyError() {
        const QByteArray payload = patternBytes(5000);
        publishLauncher(QStringLiteral("0.2"), payload, TestFiles::md5Hex(payload).toUpper());
        makeWorkflow();
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("File verify error"), 5000);
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::SelfUpdating, LauncherWorkflow::Failed}));
        QVERIFY(!flow->isDownloading());
        QVERIFY(!QFile::exists(dir + QStringLiteral("/v0.2_Kestrivane.exe")));
        QVERIFY(noFurtherVersionRequests());
        QCOMPARE(versionRequests(), 1);
        QVERIFY(!handedOver);
    }

    // Root (and Windows, where the read-only bit of a folder means nothing) ignores the permission.
    static bool writesIntoProtectedFolders() {
        QTemporaryDir probe;
        if (!QFile::setPermissions(probe.path(), QFile::ReadOwner | QFile::ExeOwner))
            return true;
        QFile f(probe.path() + QStringLiteral("/probe"));
        const bool wrote = f.open(QIODevice::WriteOnly);
        f.close();
        f.remove();
        QFile::setPermissions(probe.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return wrote;
    }

    void unwritableTargetIsAWriteError_data() {
        addBoolRows("readOnlyDir", "folder in the way", "write-protected folder");
    }

    void unwritableTargetIsAWriteError() {
        QFETCH(bool, readOnlyDir);
        if (readOnlyDir && writesIntoProtectedFolders())
            QSKIP("this user writes into write-protected folders");
        const QByteArray payload = patternBytes(5000);
        publishLauncher(QStringLiteral("0.2"), payload, TestFiles::md5Hex(payload));
        QVERIFY(writeFile(dir + QStringLiteral("/update.sh"), "touch \"$(dirname \"$0\")/script-ran\"\n"));
        if (readOnlyDir)
            QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
        else
            QVERIFY(QDir(dir).mkdir(QStringLiteral("v0.2_Kestrivane.exe")));
        makeWorkflow();
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("File write error"), 5000);
        QCOMPARE(flow->phase(), LauncherWorkflow::Failed);
        QVERIFY(!flow->isDownloading());
        QVERIFY(!handedOver);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/script-ran")));
        QVERIFY(QFileInfo(dir + QStringLiteral("/v0.2_Kestrivane.exe")).isDir() || readOnlyDir);
    }

    // Launcher downloads that fail (not found, then larger than listed) check the version again,
    // using up the same three attempts.
    void launcherDownloadFailuresUseTheSameThreeAttempts() {
        const QByteArray payload = patternBytes(50000);
        server->setFile(VersionPath, line("Kestrivane.exe", "0.2", TestFiles::md5Hex(payload), 100));
        server->setFile("/sea/win_update/v0.2_Kestrivane.exe", payload);
        HttpServer::Faults notFoundFirst;
        notFoundFirst.status = 404;
        notFoundFirst.firstRequests = 1;
        server->setFaults("/sea/win_update/v0.2_Kestrivane.exe", notFoundFirst);
        makeWorkflow();
        const QStringList &retries = recordRetries();
        STEP(waitForFatal(QStringLiteral("Load error")));
        QCOMPARE(retries, QStringList({"Load error 2", "Load error 3"}));
        const QList<Phase> attempt = {LauncherWorkflow::SelfUpdating, LauncherWorkflow::Checking};
        QCOMPARE(phases, attempt + attempt + attempt + QList<Phase>({LauncherWorkflow::Failed}));
        QVERIFY(noFurtherVersionRequests());
        QCOMPARE(versionRequests(), 3);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/v0.2_Kestrivane.exe")));
    }

    void progressTexts() {
        makeWorkflow();
        SelfUpdate *update = flow->selfUpdate();
        update->launcherDownloadProgress(524288, -1);
        QCOMPARE(infoText(), QStringLiteral("Updating 512KB"));
        // Below 0: the bar keeps its value within 0 to 100.
        QVERIFY(bars.value(WorkflowStatus::LauncherBar) < 0.0f);
        update->launcherDownloadProgress(1572864, 12845056);
        QCOMPARE(infoText(), QStringLiteral("Updating 1.5MB/12.25MB"));
        QVERIFY(qAbs(bars.value(WorkflowStatus::LauncherBar) - 12.244898f) < 0.001f);
        update->launcherDownloadProgress(0, 0);
        QCOMPARE(infoText(), QStringLiteral("Updating 0B/0B"));
        QCOMPARE(bars.value(WorkflowStatus::LauncherBar), 0.0f);
        // "UPDATING" follows the language.
        Translation::instance()->setLanguageIndex(4);
        QCOMPARE(infoText(),
                 Translation::instance()->tr(QStringLiteral("UPDATING")) + QStringLiteral(" 0B/0B"));
    }

    void writeAppDirFileRefusesPathsAndReplacesAtomically() {
        makeWorkflow();
        SelfUpdate *update = flow->selfUpdate();
        QVERIFY(update->writeAppDirFile("first", QStringLiteral("v1_Kestrivane.exe")));
        QVERIFY(update->writeAppDirFile("second", QStringLiteral("v1_Kestrivane.exe")));
        QCOMPARE(readFile(dir + QStringLiteral("/v1_Kestrivane.exe")), QByteArray("second"));
        QVERIFY(update->writeAppDirFile(QByteArray(), QStringLiteral("empty.bin")));
        QCOMPARE(QFileInfo(dir + QStringLiteral("/empty.bin")).size(), 0);
        QVERIFY(!update->writeAppDirFile("x", QStringLiteral("../outside.bin")));
        QVERIFY(!update->writeAppDirFile("x", QStringLiteral("sub/inside.bin")));
        QVERIFY(!QFile::exists(root->path() + QStringLiteral("/outside.bin")));
    }
};

KV_WORKFLOW_TEST_MAIN(VersionCheckTest)
#include "tst_versioncheck.moc"
