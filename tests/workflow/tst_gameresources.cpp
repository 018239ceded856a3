// The game-resource update and the extraction of the workflow, against a CDN on 127.0.0.1: what is
// fetched, recorded and unpacked, what a later start picks up again (an interrupted download or
// extraction, files gone missing or damaged, names no longer listed), and the errors.
#include "support/teststep.h"
#include "support/workflowfixture.h"
#include "support/zipwriter.h"

#include "download/xdmanager.h"
#include "patch/blockmap.h"

#include <algorithm>

using namespace WorkflowTest;

class GameResourcesTest : public WorkflowFixture {
    Q_OBJECT

    QMap<QString, QString> damageReasons() const {
        QMap<QString, QString> reasons;
        for (const QJsonObject &e : events(QStringLiteral("installed file damaged")))
            reasons.insert(e.value(QStringLiteral("file")).toString(),
                           e.value(QStringLiteral("reason")).toString());
        return reasons;
    }

    // Every progress line of the download as shown, with the bar at that moment.
    QList<QPair<QStringList, float>> downloadSteps;
    qint64 fastest = 0; // the highest speed shown
    void recordDownloadSteps() {
        downloadSteps.clear();
        fastest = 0;
        connect(flow, &LauncherWorkflow::status, this,
                [this](WorkflowStatus::Line l, const WorkflowStatus &s) {
                    if (l == WorkflowStatus::GameLine && s.key == QLatin1String("DOWNLOADING_TIP"))
                        downloadSteps << qMakePair(argTexts(s), bars.value(WorkflowStatus::GameBar));
                    if (l == WorkflowStatus::SpeedLine)
                        fastest = qMax(fastest, flow->resources()->downloadSpeed());
                });
    }
    static QString sizeText(qint64 bytes) { return ProgressText::formatSize(float(bytes), 2); }
    // The last progress before the finish: all of the run's bytes.
    void verifyEndedAtFullSize(qint64 runBytes) {
        QVERIFY(!downloadSteps.isEmpty());
        QCOMPARE(downloadSteps.last().first, (QStringList{"100", sizeText(runBytes), sizeText(runBytes)}));
        QCOMPARE(downloadSteps.last().second, 100.0f);
    }

    void waitForGameLine(const char *key, int timeoutMs = 30000) {
        QTRY_COMPARE_WITH_TIMEOUT(WorkflowFixture::key(WorkflowStatus::GameLine), QString::fromLatin1(key),
                                  timeoutMs);
    }

private slots:
    void firstStartDownloadsEverythingAndRecordsVersions() {
        const QByteArray pak = randomBytes(5000000, 2); // two pieces
        const QByteArray mapA = "map a\n";
        const QByteArray deep = randomBytes(70000, 3);
        const QByteArray readme = "new readme\n";
        const QByteArray game =
            publish(QStringLiteral("game.bin"), QStringLiteral("3"), randomBytes(300000, 1));
        publishWithMap(QStringLiteral("data.pak"), QStringLiteral("2"), pak);
        // File entries only: the parent folders come from the names.
        publish(QStringLiteral("res.zip"), QStringLiteral("7"),
                zipBytes({{"maps/a.txt", mapA}, {"maps/deep/b.bin", deep}, {"readme.txt", readme}}));
        QVERIFY(writeFile(dir + QStringLiteral("/readme.txt"), "old readme, replaced\n"));
        QVERIFY(writeFile(dir + QStringLiteral("/keep.txt"), "not in any archive\n"));

        makeWorkflow();
        recordDownloadSteps();
        STEP(waitForReady());
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::Downloading, LauncherWorkflow::Extracting,
                                       LauncherWorkflow::Ready}));

        QCOMPARE(configValue(QStringLiteral("version/game.bin")), QStringLiteral("3"));
        QCOMPARE(configValue(QStringLiteral("version/data.pak")), QStringLiteral("2"));
        QCOMPARE(configValue(QStringLiteral("version/res.zip")), QStringLiteral("7"));
        QVERIFY(!configHas(QStringLiteral("version/Kestrivane.exe")));
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
        QVERIFY(!configHas(QStringLiteral("download_config/manual_resume")));

        QCOMPARE(readFile(dir + QStringLiteral("/game.bin")), game);
        QCOMPARE(readFile(dir + QStringLiteral("/data.pak")), pak);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/res.zip")));
        QCOMPARE(readFile(dir + QStringLiteral("/maps/a.txt")), mapA);
        QCOMPARE(readFile(dir + QStringLiteral("/maps/deep/b.bin")), deep);
        QCOMPARE(readFile(dir + QStringLiteral("/readme.txt")), readme);
        QCOMPARE(readFile(dir + QStringLiteral("/keep.txt")), QByteArray("not in any archive\n"));

        // The launcher's own entry is never fetched here, so it is not part of the run's bytes: the
        // bar reaches 100 % with the last file.
        GameResourceUpdate *resources = flow->resources();
        QCOMPARE(getsFor(QStringLiteral("Kestrivane.exe")), 0);
        // Without an older copy a block map is of no use: it is not fetched.
        QCOMPARE(getsFor(QStringLiteral("data.pak.blockmap")), 0);
        const qint64 runBytes = game.size() + pak.size() + release.value("res.zip").data.size();
        STEP(verifyEndedAtFullSize(runBytes));
        QCOMPARE(resources->totalBytes(), runBytes);
        QCOMPARE(resources->updateFileCount(), 3);
        QCOMPARE(resources->finishedFileCount(), 3);
        QVERIFY(!flow->isDownloading());
        QVERIFY(!resources->measuringSpeed());
        QVERIFY(key(WorkflowStatus::TimeLine).isEmpty());
        QVERIFY(key(WorkflowStatus::SpeedLine).isEmpty());
        QTRY_COMPARE(events(QStringLiteral("enable game btn")).size(), 1);

        // A second start finds everything installed: nothing is fetched, the game is ready at once.
        closeWorkflow();
        server->clearRequests();
        makeWorkflow();
        STEP(waitForReady());
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::Ready}));
        QCOMPARE(getsFor(QStringLiteral("game.bin")) + getsFor(QStringLiteral("data.pak")) +
                     getsFor(QStringLiteral("res.zip")),
                 0);
        QVERIFY(flow->resources()->downloadManager() == nullptr);
        QCOMPARE(readFile(dir + QStringLiteral("/maps/a.txt")), mapA);
    }

    void changedVersionFetchesOnlyThatFile() {
        const QByteArray oldGame =
            publish(QStringLiteral("game.bin"), QStringLiteral("3"), randomBytes(6000000, 4));
        const QByteArray exe =
            publish(QStringLiteral("Quelvane.exe"), QStringLiteral("12"), randomBytes(20000, 5));
        throttle(QStringLiteral("Quelvane.exe"), 40000); // a few ticks while it comes
        QVERIFY(writeFile(dir + QStringLiteral("/game.bin"), oldGame));
        writeConfig(QStringLiteral("version/game.bin"), QStringLiteral("3"));
        // Versions compare as text: "12.0" is not "12".
        writeConfig(QStringLiteral("version/Quelvane.exe"), QStringLiteral("12.0"));

        makeWorkflow();
        recordDownloadSteps();
        STEP(waitForReady());
        // The large installed file is no part of this run's progress: it counts the one file.
        for (const auto &step : qAsConst(downloadSteps))
            QCOMPARE(step.first.value(2), sizeText(exe.size()));
        STEP(verifyEndedAtFullSize(exe.size()));
        QCOMPARE(flow->resources()->totalBytes(), qint64(exe.size()));
        QCOMPARE(getsFor(QStringLiteral("game.bin")), 0);
        QCOMPARE(server->requestsFor(remotePath(QStringLiteral("Quelvane.exe"), QStringLiteral("12"))).size(),
                 1);
        QCOMPARE(readFile(dir + QStringLiteral("/Quelvane.exe")), exe);
        QCOMPARE(configValue(QStringLiteral("version/Quelvane.exe")), QStringLiteral("12"));
        // A non-zip file is recorded, never marked for extraction.
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
        QCOMPARE(flow->resources()->updateFileCount(), 1);
        QCOMPARE(flow->resources()->presentBytes(), qint64(exe.size()));
    }

    void gigabyteTotalsDoNotOverflow() {
        // Files over 2^31 bytes; one installed, one offered for download.
        const auto fillTable = [] {
            QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
            for (const auto &e : {qMakePair(QStringLiteral("Kestrivane.exe"), qint64(1000)),
                                  qMakePair(QStringLiteral("big1.pak"), qint64(2000000000)),
                                  qMakePair(QStringLiteral("big2.pak"), qint64(3000000000))}) {
                RemoteFileInfo info;
                info.name = e.first;
                info.version =
                    e.first == QLatin1String("Kestrivane.exe") ? QStringLiteral("0.11") : QStringLiteral("1");
                info.md5 = md5Hex(QByteArray());
                info.size = e.second;
                table.insert(info.name, info);
            }
        };
        fillTable();
        writeConfig(QStringLiteral("version/big1.pak"), QStringLiteral("1"));
        QVERIFY(writeFile(dir + QStringLiteral("/big1.pak"), QByteArray()));
        QVERIFY(QFile::resize(dir + QStringLiteral("/big1.pak"), 2000000000)); // sparse
        writeConfig(QStringLiteral("download_config/manual_resume"), true);
        // An update of another release left half way: none of its size is this one's.
        const QString otherRelease(64, QLatin1Char('0'));
        writeConfig(QStringLiteral("download_config/update_release"), otherRelease);
        writeConfig(QStringLiteral("download_config/update_bytes"), Q_INT64_C(9000000000));

        makeWorkflow(fastSetup(), false, false);
        flow->beginGameResources();
        QCOMPARE(flow->phase(), LauncherWorkflow::AwaitingResume);
        QCOMPARE(flow->resources()->totalBytes(), qint64(3000000000));
        QCOMPARE(flow->resources()->presentBytes(), qint64(0));
        QCOMPARE(args(WorkflowStatus::GameLine), (QStringList{"0", "0B", "2.79GB"}));
        QCOMPARE(bars.value(WorkflowStatus::GameBar), 0.0f);
        QCOMPARE(configValue(QStringLiteral("download_config/update_bytes")), QStringLiteral("3000000000"));
        const QString release = configValue(QStringLiteral("download_config/update_release"));
        QVERIFY(release.size() == 64 && release != otherRelease);

        // The same release begun with big1.pak still to fetch: finished since, it counts as done.
        closeWorkflow();
        fillTable();
        writeConfig(QStringLiteral("download_config/update_bytes"), Q_INT64_C(5000000000));
        makeWorkflow(fastSetup(), false, false);
        flow->beginGameResources();
        QCOMPARE(args(WorkflowStatus::GameLine), (QStringList{"40", "1.86GB", "4.66GB"}));
        QCOMPARE(bars.value(WorkflowStatus::GameBar), 40.0f);
    }

    void pauseStopsTheRefreshAndContinueFinishes() {
        // About 7 s at the throttled rate: it cannot complete during the pause below.
        const QByteArray a = publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(1400000, 6));
        throttle(QStringLiteral("a.bin"), 200000);
        makeWorkflow();
        QTRY_VERIFY_WITH_TIMEOUT(!key(WorkflowStatus::SpeedLine).isEmpty(), 15000);

        flow->downloadBtnClicked();
        QCOMPARE(flow->phase(), LauncherWorkflow::Paused);
        QVERIFY(flow->resources()->downloadManager()->isPaused());
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("DOWNLOAD_PAUSED_TIP"));
        QVERIFY(key(WorkflowStatus::TimeLine).isEmpty() && key(WorkflowStatus::SpeedLine).isEmpty());
        // Several ticks pass without a refresh; leaving now offers the download again.
        const QString progressText = shown(WorkflowStatus::GameLine);
        QVERIFY(!QTest::qWaitFor(
            [&] {
                return !key(WorkflowStatus::TimeLine).isEmpty() ||
                       shown(WorkflowStatus::GameLine) != progressText;
            },
            500));
        QVERIFY(flow->isDownloading() && flow->resumeOfferedOnExit());

        server->clearFaults();
        flow->downloadBtnClicked();
        QCOMPARE(flow->phase(), LauncherWorkflow::Downloading);
        QVERIFY(flow->resources()->measuringSpeed());
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), a);
    }

    void threeArchivesShowUncompressSteps() {
        publish(QStringLiteral("a.zip"), QStringLiteral("1"), zipBytes({{"a/one.txt", "one"}}));
        publish(QStringLiteral("b.zip"), QStringLiteral("1"),
                zipBytes({{"b/two.txt", randomBytes(50000, 10)}}));
        publish(QStringLiteral("c.zip"), QStringLiteral("1"),
                zipBytes({{"c/", ""}, {"c/three.txt", "three"}}));

        // The line and the bar of every archive as it starts.
        QList<QPair<QStringList, float>> steps;
        makeWorkflow();
        connect(flow, &LauncherWorkflow::progress, this, [&](WorkflowStatus::Bar, float percent) {
            if (key(WorkflowStatus::GameLine) == QLatin1String("%1 %2/%3"))
                steps << qMakePair(args(WorkflowStatus::GameLine), percent);
        });
        STEP(waitForReady());

        QCOMPARE(steps.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(steps[i].first, (QStringList{"Uncompress", QString::number(i + 1), "3"}));
        QVERIFY(qAbs(steps[0].second - 33.333f) < 0.01f);
        QVERIFY(qAbs(steps[1].second - 66.667f) < 0.01f);
        QCOMPARE(steps[2].second, 100.0f);
        QCOMPARE(flow->extraction()->extractedCount(), 3);
        QCOMPARE(readFile(dir + QStringLiteral("/a/one.txt")), QByteArray("one"));
        QCOMPARE(readFile(dir + QStringLiteral("/c/three.txt")), QByteArray("three"));
        for (const char *name : {"a.zip", "b.zip", "c.zip"}) {
            QVERIFY(!QFile::exists(dir + QLatin1Char('/') + QLatin1String(name)));
            QCOMPARE(configValue(QStringLiteral("version/") + QLatin1String(name)), QStringLiteral("1"));
        }
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
    }

    void damagedArchiveIsForgotten() {
        publish(QStringLiteral("bad.zip"), QStringLiteral("4"),
                QByteArray("this is not a zip archive\n").repeated(2000));
        publish(QStringLiteral("ok.bin"), QStringLiteral("1"), "fine");

        makeWorkflow();
        STEP(waitForGameLine("UNCOMPRESS_FAILED"));
        QCOMPARE(flow->phase(), LauncherWorkflow::Failed);
        QCOMPARE(flow->gameState(), 1);
        // The update is left unfinished: leaving asks, and nothing is offered again.
        QVERIFY(flow->isDownloading());
        QVERIFY(!flow->resumeOfferedOnExit());
        QVERIFY(!configHas(QStringLiteral("version/bad.zip")));
        QVERIFY(!configHas(QStringLiteral("uncompressing/bad.zip")));
        QCOMPARE(configValue(QStringLiteral("version/ok.bin")), QStringLiteral("1"));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/bad.zip")));
        QTRY_COMPARE(events(QStringLiteral("uncompress failed")).size(), 1);
        QCOMPARE(eventField(QStringLiteral("uncompress failed"), QStringLiteral("file")),
                 QStringLiteral("bad.zip"));
        QVERIFY(eventField(QStringLiteral("uncompress failed"), QStringLiteral("reason"))
                    .endsWith(QLatin1String("bad.zip: not a readable zip archive")));
        QCOMPARE(events(QStringLiteral("enable game btn")).size(), 0);

        // The next start fetches it again.
        closeWorkflow();
        server->clearRequests();
        makeWorkflow();
        STEP(waitForGameLine("UNCOMPRESS_FAILED"));
        QCOMPARE(getsFor(QStringLiteral("bad.zip")), 1);
        QCOMPARE(getsFor(QStringLiteral("ok.bin")), 0);
    }

    // An entry climbing out fails the archive (every refused name: test_unziparchive).
    void archiveClimbingOutWritesNothingOutside() {
        publish(QStringLiteral("evil.zip"), QStringLiteral("1"),
                zipBytes({{"fine.txt", "ok"}, {"../evil", "evil"}}));
        makeWorkflow();
        STEP(waitForGameLine("UNCOMPRESS_FAILED"));
        QVERIFY(!QFile::exists(root->path() + QStringLiteral("/evil")));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/fine.txt")));
        QVERIFY(!configHas(QStringLiteral("version/evil.zip")));
    }

    void interruptedExtractionRunsAgainWithoutDownload() {
        const QByteArray archive =
            zipBytes({{"levels/1.dat", randomBytes(30000, 11)}, {"levels/2.dat", "two"}});
        publish(QStringLiteral("levels.zip"), QStringLiteral("5"), archive);
        // State of a launcher closed while extracting: recorded, marked, the archive still there,
        // one entry half written.
        QVERIFY(writeFile(dir + QStringLiteral("/levels.zip"), archive));
        QVERIFY(writeFile(dir + QStringLiteral("/levels/1.dat"), "half"));
        writeConfig(QStringLiteral("version/levels.zip"), QStringLiteral("5"));
        writeConfig(QStringLiteral("uncompressing/levels.zip"), 1);

        makeWorkflow();
        STEP(waitForReady());
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::Extracting, LauncherWorkflow::Ready}));
        QCOMPARE(getsFor(QStringLiteral("levels.zip")), 0);
        QCOMPARE(flow->extraction()->extractTotal(), 1);
        QCOMPARE(readFile(dir + QStringLiteral("/levels/2.dat")), QByteArray("two"));
        QCOMPARE(readFile(dir + QStringLiteral("/levels/1.dat")).size(), 30000);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/levels.zip")));
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
        QCOMPARE(configValue(QStringLiteral("version/levels.zip")), QStringLiteral("5"));
    }

    void downloadErrorsStopTheUpdate() {
        publish(QStringLiteral("good.bin"), QStringLiteral("1"), "good");
        publish(QStringLiteral("wrong.bin"), QStringLiteral("1"), "bytes", md5Hex("other bytes"));
        publishMissing(QStringLiteral("missing.bin"), QStringLiteral("1"), 100);

        makeWorkflow();
        STEP(waitForGameLine("FILE_MISSING_ON_SERVER"));
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::Downloading, LauncherWorkflow::Failed}));
        QCOMPARE(flow->gameState(), 1);
        QVERIFY(!flow->isDownloading());
        QVERIFY(!flow->resumeOfferedOnExit());
        QVERIFY(!flow->resources()->measuringSpeed());
        // Beside the error: when the run is tried again by itself.
        QCOMPARE(key(WorkflowStatus::TimeLine), QStringLiteral("RETRY_COUNTDOWN"));
        QCOMPARE(configValue(QStringLiteral("version/good.bin")), QStringLiteral("1"));
        QVERIFY(!configHas(QStringLiteral("version/wrong.bin")));
        QVERIFY(!configHas(QStringLiteral("version/missing.bin")));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/wrong.bin")));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/missing.bin")));
        QTRY_COMPARE(events(QStringLiteral("md5 verify failed")).size(), 1);
        QTRY_COMPARE(events(QStringLiteral("game src download failed")).size(), 1);
        QCOMPARE(eventField(QStringLiteral("md5 verify failed"), QStringLiteral("file")),
                 QStringLiteral("wrong.bin"));
        QCOMPARE(eventField(QStringLiteral("game src download failed"), QStringLiteral("file")),
                 QStringLiteral("missing.bin"));
        // Each failure event says why: the digests, and the HTTP answer of the piece.
        QVERIFY(eventField(QStringLiteral("md5 verify failed"), QStringLiteral("reason"))
                    .contains(md5Hex("other bytes")));
        const QString why = eventField(QStringLiteral("game src download failed"), QStringLiteral("reason"));
        QVERIFY2(why.startsWith(QLatin1String("piece 0 of v1_missing.bin was refused with HTTP 404")),
                 qPrintable(why));
        QCOMPARE(events(QStringLiteral("enable game btn")).size(), 0);

        // A verify error alone shows as such.
        closeWorkflow();
        publish(QStringLiteral("good.bin"), QStringLiteral("1"), "good");
        release.remove(QStringLiteral("missing.bin"));
        publishVersionFile();
        makeWorkflow();
        STEP(waitForGameLine("VERIFY_ERROR"));
        QCOMPARE(flow->gameState(), 1);
    }

    void resumeFlagEndsWithTheDownload() {
        // A resume flag left by an interrupted run is cleared by a start that needs no download ...
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), "one");
        QVERIFY(writeFile(dir + QStringLiteral("/a.bin"), "one"));
        writeConfig(QStringLiteral("version/a.bin"), QStringLiteral("1"));
        writeConfig(QStringLiteral("download_config/manual_resume"), true);
        makeWorkflow();
        STEP(waitForReady());
        QCOMPARE(configValue(QStringLiteral("download_config/manual_resume")), QStringLiteral("false"));
        closeWorkflow();

        // ... so the next real update starts by itself.
        publish(QStringLiteral("a.bin"), QStringLiteral("2"), "two");
        makeWorkflow();
        STEP(waitForReady());
        QCOMPARE(configValue(QStringLiteral("version/a.bin")), QStringLiteral("2"));
    }

    void missingOrResizedFilesAreFetchedAgainAtStart() {
        const QByteArray b = randomBytes(5000000, 2); // two pieces
        const QByteArray unpacked = randomBytes(20000, 4);
        const QByteArray a = publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(300000, 1));
        publish(QStringLiteral("b.bin"), QStringLiteral("1"), b);
        publish(QStringLiteral("c.bin"), QStringLiteral("1"), randomBytes(1000, 3));
        const QByteArray pack =
            publish(QStringLiteral("pack.zip"), QStringLiteral("1"), zipBytes({{"pack/data.bin", unpacked}}));
        STEP(installRelease());

        // Deleted, truncated, and an archive recorded as waiting to be unpacked that is gone. The
        // archive unpacked earlier (deleted on purpose) is no damage.
        QVERIFY(QFile::remove(dir + QStringLiteral("/a.bin")));
        QVERIFY(QFile::resize(dir + QStringLiteral("/b.bin"), 1000));
        writeConfig(QStringLiteral("uncompressing/pack.zip"), 1);
        QVERIFY(QFile::remove(dir + QStringLiteral("/pack/data.bin")));
        makeWorkflow();
        STEP(waitForReady());

        QCOMPARE(getsFor(QStringLiteral("a.bin")), 1);
        QCOMPARE(getsFor(QStringLiteral("b.bin")), 2);
        QCOMPARE(getsFor(QStringLiteral("c.bin")), 0);
        QCOMPARE(getsFor(QStringLiteral("pack.zip")), 1);
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), a);
        QCOMPARE(readFile(dir + QStringLiteral("/b.bin")), b);
        QCOMPARE(readFile(dir + QStringLiteral("/pack/data.bin")), unpacked);
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
        QTRY_COMPARE(damageReasons().size(), 3);
        QCOMPARE(damageReasons().value(QStringLiteral("a.bin")), QStringLiteral("missing"));
        QCOMPARE(damageReasons().value(QStringLiteral("b.bin")),
                 QStringLiteral("size 1000 on disk, 5000000 listed"));
        QCOMPARE(damageReasons().value(QStringLiteral("pack.zip")), QStringLiteral("missing"));

        // Repaired: the next start finds nothing to do. An unpacked archive still on disk (left by
        // a launcher stopped between clearing its mark and deleting it) is only removed.
        closeWorkflow();
        QVERIFY(writeFile(dir + QStringLiteral("/pack.zip"), pack));
        server->clearRequests();
        makeWorkflow();
        STEP(waitForReady());
        QVERIFY(flow->resources()->downloadManager() == nullptr);
        QCOMPARE(events(QStringLiteral("installed file damaged")).size(), 0);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/pack.zip")));
        QCOMPARE(readFile(dir + QStringLiteral("/pack/data.bin")), unpacked);
    }

    // The archive is gone once unpacked, but the files it installed are checked as any other file:
    // by size at every start, by digest with --verify. A damaged one fetches the archive again
    // (once, however many of its files are damaged) and unpacks it over them.
    void filesAnArchiveInstalledAreCheckedAndRepaired() {
        const QByteArray big = randomBytes(300000, 21);
        const QByteArray small = "the game's settings";
        publish(QStringLiteral("pack.zip"), QStringLiteral("3"),
                zipBytes({{"pack/big.bin", big}, {"pack/small.txt", small}}));
        STEP(installRelease());
        const QString record = dir + QStringLiteral("/pack.zip.kestrivane-entries");
        QVERIFY(readFile(record).startsWith("KVEF 1\nversion 3\nindex -\n"));

        // Cut short and changed in place: the start-up check sees the first only.
        QVERIFY(QFile::resize(dir + QStringLiteral("/pack/big.bin"), 1000));
        QVERIFY(writeFile(dir + QStringLiteral("/pack/small.txt"), "THE game's settings"));
        makeWorkflow();
        STEP(waitForReady());
        QCOMPARE(getsFor(QStringLiteral("pack.zip")), 1);
        QCOMPARE(readFile(dir + QStringLiteral("/pack/big.bin")), big);
        QCOMPARE(readFile(dir + QStringLiteral("/pack/small.txt")), small);
        QTRY_COMPARE(events(QStringLiteral("installed file damaged")).size(), 1);
        QCOMPARE(damageReasons().value(QStringLiteral("pack.zip")),
                 QStringLiteral("pack/big.bin (from pack.zip): size 1000 on disk, 300000 listed"));
        QCOMPARE(eventField(QStringLiteral("installed file damaged"), QStringLiteral("entry")),
                 QStringLiteral("pack/big.bin"));
        closeWorkflow();

        // Same size, one byte changed: only --verify finds it.
        QVERIFY(writeFile(dir + QStringLiteral("/pack/small.txt"), "THE game's settings"));
        server->clearRequests();
        makeWorkflow();
        STEP(waitForReady());
        QCOMPARE(getsFor(QStringLiteral("pack.zip")), 0);
        closeWorkflow();
        makeWorkflow(true);
        STEP(waitForReady());
        QCOMPARE(getsFor(QStringLiteral("pack.zip")), 1);
        QCOMPARE(readFile(dir + QStringLiteral("/pack/small.txt")), small);
        QTRY_COMPARE(events(QStringLiteral("installed file damaged")).size(), 1);
        QVERIFY(damageReasons()
                    .value(QStringLiteral("pack.zip"))
                    .startsWith("pack/small.txt (from pack.zip): BLAKE2b "));
        closeWorkflow();

        // A record that is not the launcher's own is ignored: nothing is checked or fetched by it.
        QVERIFY(
            writeFile(record, "KVEF 1\nversion 3\nindex -\n" + QByteArray(64, 'a') + "\t5\t1\t../outside\n"));
        QVERIFY(QFile::remove(dir + QStringLiteral("/pack/big.bin")));
        server->clearRequests();
        makeWorkflow(true);
        STEP(waitForReady());
        QCOMPARE(getsFor(QStringLiteral("pack.zip")), 0);
        QCOMPARE(events(QStringLiteral("installed file damaged")).size(), 0);
        closeWorkflow();

        // A name no longer listed takes its record along.
        release.remove(QStringLiteral("pack.zip"));
        publish(QStringLiteral("other.bin"), QStringLiteral("1"), randomBytes(1000, 22));
        makeWorkflow();
        STEP(waitForReady());
        QVERIFY(!QFile::exists(record));
    }

    // A run closed while unpacking left old.zip marked; the next release lists new.zip instead.
    void namesNoLongerListedLeaveNoMarkRecordOrArchive() {
        const QByteArray fresh = randomBytes(2000, 8);
        publish(QStringLiteral("new.zip"), QStringLiteral("2"), zipBytes({{"data.bin", fresh}}));
        QVERIFY(writeFile(dir + QStringLiteral("/old.zip"), zipBytes({{"data.bin", randomBytes(2000, 9)}})));
        writeConfig(QStringLiteral("uncompressing/old.zip"), 1);
        writeConfig(QStringLiteral("version/old.zip"), QStringLiteral("1"));
        writeConfig(QStringLiteral("version/gone.bin"), QStringLiteral("1"));
        makeWorkflow();
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/data.bin")), fresh);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/old.zip")));
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
        QCOMPARE(configKeys(QStringLiteral("version")), QStringList{QStringLiteral("new.zip")});
    }

    void verifyFetchesFilesWhoseContentDiffers() {
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(300000, 5));
        const QByteArray b = publish(QStringLiteral("b.bin"), QStringLiteral("1"), randomBytes(6000000, 6));
        STEP(installRelease(true)); // nothing installed yet: nothing to hash, the update runs as usual

        // Same size, one byte changed: only the hash sees it.
        QByteArray changed = b;
        changed[4200000] = char(changed.at(4200000) ^ 0x5a);
        QVERIFY(writeFile(dir + QStringLiteral("/b.bin"), changed));
        makeWorkflow();
        STEP(waitForReady());
        QCOMPARE(getsFor(QStringLiteral("b.bin")), 0);
        closeWorkflow();

        makeWorkflow(true);
        STEP(waitForReady());
        QCOMPARE(phases.first(), LauncherWorkflow::Verifying);
        QCOMPARE(getsFor(QStringLiteral("a.bin")), 0);
        QCOMPARE(getsFor(QStringLiteral("b.bin")), 2);
        QCOMPARE(readFile(dir + QStringLiteral("/b.bin")), b);
        QTRY_COMPARE(damageReasons().size(), 1);
        QCOMPARE(damageReasons().value(QStringLiteral("b.bin")),
                 QStringLiteral("md5 %1 on disk, %2 listed").arg(md5Hex(changed), md5Hex(b)));
    }

    // A damaged copy of a file published with a block map keeps its sound blocks: --verify (one
    // byte flipped) and the start-up check (the file cut short) fetch only what is damaged.
    void damagedCopyFetchesOnlyItsDamagedBlocks_data() {
        addBoolRows("verify", "cut short, seen at start", "one byte flipped, --verify");
    }

    void damagedCopyFetchesOnlyItsDamagedBlocks() {
        QFETCH(bool, verify);
        const qint64 MiB = 1024 * 1024;
        const QByteArray data = randomBytes(int(8 * MiB), 31);
        const QByteArray map = publishWithMap(QStringLiteral("world.pak"), QStringLiteral("2"), data);
        QByteArray damaged = data;
        if (verify)
            damaged[int(5 * MiB + 12345)] = char(~damaged.at(int(5 * MiB + 12345)));
        else
            damaged.chop(int(MiB) + 777);
        QVERIFY(writeFile(dir + QStringLiteral("/world.pak"), damaged));
        writeConfig(QStringLiteral("version/world.pak"), QStringLiteral("2"));

        makeWorkflow(verify);
        qint64 sentBefore = -1;
        connect(flow, &LauncherWorkflow::gamePageDue, this, [&] { sentBefore = server->bodyBytesSent(); });
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/world.pak")), data);
        QCOMPARE(configValue(QStringLiteral("version/world.pak")), QStringLiteral("2"));
        const qint64 sent = server->bodyBytesSent() - sentBefore;
        const qint64 damagedBytes = verify ? 1 : MiB + 777;
        qInfo("repaired %lld damaged bytes: the server sent %lld (map %d)", damagedBytes, sent, map.size());
        QVERIFY2(sent < map.size() + damagedBytes + 256 * 1024, qPrintable(QString::number(sent)));
    }

    // While the map comes and the older copy is read, nothing is fetched: the page says that the
    // installed files are checked, not that a download stands at 0 B/s.
    void readingTheOlderCopyShowsItsOwnProgress() {
        const qint64 MiB = 1024 * 1024;
        const QByteArray old =
            publish(QStringLiteral("world.pak"), QStringLiteral("1"), randomBytes(int(4 * MiB), 41));
        QByteArray next = old;
        next.replace(int(MiB), 5000, randomBytes(5000, 42));
        const QByteArray map = publishWithMap(QStringLiteral("world.pak"), QStringLiteral("2"), next);
        HttpServer::Faults slowMap;
        slowMap.bytesPerSecond = map.size(); // about a second
        server->setFaults(
            remotePath(QStringLiteral("world.pak"), QStringLiteral("2")) + BlockMap::RemoteSuffix, slowMap);
        QVERIFY(writeFile(dir + QStringLiteral("/world.pak"), old));
        writeConfig(QStringLiteral("version/world.pak"), QStringLiteral("1"));

        makeWorkflow();
        QStringList keys; // the game line's texts in order, each once
        bool timeShownWhileScanning = false;
        connect(flow, &LauncherWorkflow::status, this,
                [&](WorkflowStatus::Line line, const WorkflowStatus &st) {
                    if (line == WorkflowStatus::GameLine && (keys.isEmpty() || keys.last() != st.key))
                        keys << st.key;
                    if (line == WorkflowStatus::TimeLine && !st.key.isEmpty() && !keys.isEmpty() &&
                        keys.last() == QLatin1String("SCANNING_TIP"))
                        timeShownWhileScanning = true;
                });
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/world.pak")), next);
        QVERIFY2(keys.value(0) == QLatin1String("SCANNING_TIP"), qPrintable(keys.join(QLatin1Char(' '))));
        QVERIFY(!timeShownWhileScanning);
    }

    // An installed older copy of a file published with a block map gives its blocks: only the
    // changed ranges are fetched, the run counts the reused bytes as done, and "file patched" says
    // how much was reused and fetched.
    void olderCopyIsPatchedFromItsBlocks() {
        const qint64 MiB = 1024 * 1024;
        const QByteArray old =
            publish(QStringLiteral("world.pak"), QStringLiteral("1"), randomBytes(int(6 * MiB), 21));
        QByteArray next = old;
        for (int at : {100000, int(3 * MiB), int(5 * MiB + 777)})
            next.replace(at, 3000, randomBytes(3000, quint32(at)));
        next.insert(int(2 * MiB), randomBytes(50000, 22));
        const QByteArray map = publishWithMap(QStringLiteral("world.pak"), QStringLiteral("2"), next);
        throttle(QStringLiteral("world.pak"), 50000); // the changed ranges take several ticks
        QVERIFY(writeFile(dir + QStringLiteral("/world.pak"), old));
        writeConfig(QStringLiteral("version/world.pak"), QStringLiteral("1"));

        makeWorkflow();
        recordDownloadSteps();
        // Counted from the end of the version check (the server answers on this thread).
        qint64 sentBefore = -1;
        connect(flow, &LauncherWorkflow::gamePageDue, this, [&] { sentBefore = server->bodyBytesSent(); });
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/world.pak")), next);
        QCOMPARE(configValue(QStringLiteral("version/world.pak")), QStringLiteral("2"));
        QTRY_COMPARE(events(QStringLiteral("file patched")).size(), 1);
        const QJsonObject patched = events(QStringLiteral("file patched")).first();
        QCOMPARE(patched.value(QStringLiteral("file")).toString(), QStringLiteral("world.pak"));
        const qint64 reused = qint64(patched.value(QStringLiteral("reused")).toDouble());
        const qint64 fetched = qint64(patched.value(QStringLiteral("fetched")).toDouble());
        QCOMPARE(reused + fetched, qint64(next.size()));
        QVERIFY2(fetched > 0 && fetched < 200 * 1024, qPrintable(QString::number(fetched)));
        const qint64 sent = server->bodyBytesSent() - sentBefore;
        qInfo("patched %lld bytes: %lld reused, %lld fetched; the server sent %lld (map %d)",
              qint64(next.size()), reused, fetched, sent, map.size());
        QCOMPARE(sent, map.size() + fetched);
        STEP(verifyEndedAtFullSize(next.size()));
        // While the ranges came, the reused bytes showed as done but never as speed (they would make
        // over 1 MB a tick; the server sends some 10 KB).
        QVERIFY(std::any_of(downloadSteps.cbegin(), downloadSteps.cend(),
                            [](const auto &step) { return step.second >= 90.0f && step.second < 100.0f; }));
        QVERIFY2(fastest < 200000, qPrintable(QString::number(fastest)));
    }

    // Left half way: the next start offers KEEP UPDATE with what is on disk (a finished file, the
    // complete pieces of another), fetches nothing by itself, and resumes with what is missing.
    void closedHalfWayIsOfferedAgainAndFetchesOnlyTheRest() {
        const qint64 piece = 4194304;
        const QByteArray small =
            publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(400000, 8));
        const QByteArray big =
            publish(QStringLiteral("big.bin"), QStringLiteral("1"), randomBytes(int(8 * piece), 7));
        const QByteArray path = remotePath(QStringLiteral("big.bin"), QStringLiteral("1"));
        HttpServer::Faults hold;
        hold.hold = true;
        for (int k = 4; k < 8; ++k)
            server->setFaults(path, hold, k * piece);
        makeWorkflow();
        QTRY_VERIFY_WITH_TIMEOUT(
            VersionTable::instance().value(QStringLiteral("big.bin")).downloadedBytes == 4 * piece, 30000);
        QTRY_COMPARE(flow->resources()->finishedFileCount(), 1);
        const QString wholeBefore = args(WorkflowStatus::GameLine).value(2);
        // The held pieces' requests have reached the server: none of them is counted as the next run's.
        const auto heldAsked = [&] {
            const QList<HttpServer::Request> asked = server->requestsFor(path);
            return std::count_if(asked.cbegin(), asked.cend(), [piece](const HttpServer::Request &r) {
                return r.rangeStart() >= 4 * piece;
            });
        };
        QTRY_COMPARE(heldAsked(), 4);
        QCOMPARE(flow->resources()->startedFiles(), QStringList{QStringLiteral("big.bin")});
        QVERIFY(flow->resumeOfferedOnExit());
        flow->setManualResume(true);
        closeWorkflow(); // the held pieces never arrive
        server->clearFaults();
        server->release();
        server->clearRequests();

        makeWorkflow();
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::AwaitingResume, 15000);
        QCOMPARE(flow->gameState(), 0);
        QVERIFY(!flow->isDownloading());
        QVERIFY(!flow->resources()->measuringSpeed());
        // The pieces complete at the close, less at most those still being written then.
        const qint64 kept = flow->resources()->downloadManager()->resumedBytes();
        QVERIFY2(kept >= 2 * piece && kept <= 4 * piece, qPrintable(QString::number(kept)));
        // The whole update as before the close: a.bin, which that run finished, counts as done. The
        // page says it waits for the player, with neither a time nor a speed.
        const qint64 total = small.size() + big.size();
        QCOMPARE(sizeText(total), wholeBefore);
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("RESUME_OFFERED_TIP"));
        QCOMPARE(
            args(WorkflowStatus::GameLine),
            (QStringList{QString::number(int(float(double(small.size() + kept) * 100.0 / double(total)))),
                         sizeText(small.size() + kept), sizeText(total)}));
        QVERIFY(key(WorkflowStatus::TimeLine).isEmpty() && key(WorkflowStatus::SpeedLine).isEmpty());
        QVERIFY(!QTest::qWaitFor([&] { return getsFor(QStringLiteral("big.bin")) > 0; }, 300));

        const qint64 sentBefore = server->bodyBytesSent();
        flow->resumeDownloading();
        QCOMPARE(flow->phase(), LauncherWorkflow::Downloading);
        QCOMPARE(configValue(QStringLiteral("download_config/manual_resume")), QStringLiteral("false"));
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/big.bin")), big);
        QCOMPARE(server->bodyBytesSent() - sentBefore, big.size() - kept);
        QCOMPARE(getsFor(QStringLiteral("a.bin")), 0);
        QTRY_COMPARE(events(QStringLiteral("resume downloading")).size(), 1);
        // Through: the next update counts from its own start.
        QVERIFY(!configHas(QStringLiteral("download_config/update_bytes")));
    }
};

KV_WORKFLOW_TEST_MAIN(GameResourcesTest)
#include "tst_gameresources.moc"
