// The next release fetched before its day, against a CDN on 127.0.0.1 that serves a signed coming
// release's list beside the signed version file: fetched into its own folder without touching the
// installed game (only the changed parts of mapped files and unpacked archives), installed on release
// day without a byte fetched, kept through a hotfix, replaced and withdrawn with the list, refused
// (and nothing changed) when the list is not to be trusted.
#include "support/testkeys.h"
#include "support/teststep.h"
#include "support/workflowfixture.h"
#include "support/zipwriter.h"

#include "archive/archivepatchfiles.h"
#include "trust/minisignsecretkey.h"
#include "workflow/predownload.h"
#include "workflow/predownloadfolder.h"

#include <QDateTime>
#include <QDirIterator>

using namespace WorkflowTest;

class PreDownloadTest : public WorkflowFixture {
    Q_OBJECT

    const QByteArray SignaturePath = VersionPath + ".minisig";
    const QByteArray ComingPath = VersionPath + ".coming";
    qint64 releaseTime = 0;
    qint64 comingTime = 0;

    WorkflowSetup signedSetup() const {
        WorkflowSetup s = fastSetup();
        s.releasePublicKey = QString::fromLatin1(TestKeys::ReleasePublic);
        return s;
    }
    static QByteArray sign(const QByteArray &text, const QByteArray &comment) {
        return MinisignSecretKey::parse(TestKeys::ReleaseSecretFile).sign(text, comment).toFile("test");
    }
    // The version file as published now, signed a little later than the last one.
    void signRelease() {
        releaseTime = qMax(releaseTime + 10, comingTime + 10);
        server->setFile(SignaturePath, sign(versionText(), "timestamp:" + QByteArray::number(releaseTime) +
                                                               "\tfile:version3.txt"));
    }
    // The coming release (ReleaseFixture::publishComing) with the list's signature. Returns the list.
    QByteArray publishComing(const QMap<QString, QPair<QString, QByteArray>> &files, bool withMaps = false) {
        const QByteArray text = ReleaseFixture::publishComing(files, withMaps);
        comingTime = qMax(comingTime, releaseTime) + 10;
        server->setFile(ComingPath + ".minisig", sign(text, "preload:" + QByteArray::number(comingTime) +
                                                                "\tfile:version3.txt.coming"));
        return text;
    }
    PreDownload *pre() const { return flow->preDownload(); }
    QString preDir() const { return PreDownloadFolder::path(dir); }
    // Every file of the launcher's folder but the pre-download's, with its MD5.
    QMap<QString, QString> installedDigests() const {
        QMap<QString, QString> digests;
        QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.startsWith(preDir()) && !path.endsWith(QLatin1String("config.ini")))
                digests.insert(path, md5Hex(readFile(path)));
        }
        return digests;
    }
    void installSigned() {
        signRelease();
        makeWorkflow(signedSetup());
        STEP(waitForGameReady());
        closeWorkflow();
        server->clearRequests();
    }
    // The game ready while a coming release is listed: the pre-download's line may follow the
    // update's at once, so only the phase is waited for.
    void waitForGameReady() { QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::Ready, 30000); }
    void waitForState(PreDownload::State state, int timeoutMs = 30000) {
        QTRY_COMPARE_WITH_TIMEOUT(pre()->state(), state, timeoutMs);
    }

private slots:
    // The coming release's changed file and archive are fetched while the game is ready, into their
    // own folder: the installed game stays byte for byte; the page says what is fetched and that it
    // is ready. Released, the update installs both (the archive unpacked) without fetching a byte
    // of them, and the pre-download folder is gone.
    void preDownloadedReleaseInstallsWithoutFetching() {
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(300000, 1));
        publish(QStringLiteral("b.bin"), QStringLiteral("1"), randomBytes(50000, 2));
        const QList<ZipEntry> v1 = {{"levels/one.txt", "level one, first version", false},
                                    {"levels/two.bin", randomBytes(40000, 3), true}};
        publish(QStringLiteral("game.zip"), QStringLiteral("1"), zipBytes(v1));
        STEP(installSigned());
        const QMap<QString, QString> before = installedDigests();

        const QByteArray a2 = randomBytes(5 * 1024 * 1024 + 17, 4); // more than one piece
        const QList<ZipEntry> v2 = {{"levels/one.txt", "level one, second version", false},
                                    {"levels/two.bin", randomBytes(40000, 5), true}};
        const QByteArray zip2 = zipBytes(v2);
        publishComing({{QStringLiteral("a.bin"), {QStringLiteral("2"), a2}},
                       {QStringLiteral("game.zip"), {QStringLiteral("2"), zip2}}});
        makeWorkflow(signedSetup());
        STEP(waitForGameReady());
        STEP(waitForState(PreDownload::Complete));
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("PREDOWNLOAD_DONE"));
        QCOMPARE(args(WorkflowStatus::GameLine), QStringList{QStringLiteral("2")});
        QCOMPARE(pre()->totalBytes(), qint64(a2.size() + zip2.size()));
        QCOMPARE(installedDigests(), before);
        QCOMPARE(configValue(QStringLiteral("version/a.bin")), QStringLiteral("1"));
        QCOMPARE(readFile(preDir() + QStringLiteral("/a.bin")), a2);
        QCOMPARE(getsFor(QStringLiteral("b.bin")), 0);
        QTRY_COMPARE(events(QStringLiteral("predownload complete")).size(), 1);
        closeWorkflow();

        publish(QStringLiteral("a.bin"), QStringLiteral("2"), a2);
        publish(QStringLiteral("game.zip"), QStringLiteral("2"), zip2);
        signRelease();
        server->clearRequests();
        makeWorkflow(signedSetup());
        STEP(waitForGameReady());
        QCOMPARE(getsFor(QStringLiteral("a.bin")), 0);
        QCOMPARE(getsFor(QStringLiteral("game.zip")), 0);
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), a2);
        QCOMPARE(readFile(dir + QStringLiteral("/levels/one.txt")), v2.at(0).data);
        QCOMPARE(readFile(dir + QStringLiteral("/levels/two.bin")), v2.at(1).data);
        QCOMPARE(configValue(QStringLiteral("version/game.zip")), QStringLiteral("2"));
        // The list still served names nothing newer now: refused, and nothing is left behind.
        QTRY_COMPARE(events(QStringLiteral("predownload refused")).size(), 1);
        QVERIFY(!QFileInfo::exists(preDir()));
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("UPDATE_FINISHED"));
        closeWorkflow();
        WorkflowSetup often = signedSetup();
        often.preloadCheckMs = 20;
        makeWorkflow(often);
        QTRY_VERIFY(server->requestCount(ComingPath + ".minisig") >= 3); // a start that checked it again
        closeWorkflow();
        QCOMPARE(events(QStringLiteral("predownload refused")).size(), 1);
    }

    void changedPartsOnly_data() {
        QTest::addColumn<QString>("spoil");
        QTest::newRow("taken as fetched") << QString();
        QTest::newRow("fetched entries gone") << QStringLiteral("gone");
        QTest::newRow("index damaged") << QStringLiteral("index");
        QTest::newRow("planned from another version") << QStringLiteral("base");
    }
    // Three regions of a mapped file and two entries of an unpacked archive change: the pre-download
    // fetches only those, from the installed copies, and release day fetches nothing and installs the
    // right bytes. A staged update that no longer fits is dropped and the archive updated as usual.
    void changedPartsOnly() {
        QFETCH(QString, spoil);
        const QString pak = QStringLiteral("content.pak"), zip = QStringLiteral("game.zip");
        const QString one = QStringLiteral("1"), two = QStringLiteral("2");
        const QByteArray p1 = randomBytes(5 * 1024 * 1024, 1);
        publishWithMap(pak, one, p1);
        QList<ZipEntry> entries;
        for (int i = 0; i < 12; ++i)
            entries.append(
                {"data/e" + QByteArray::number(i), randomBytes(60000, quint32(10 + i)), i % 2 == 0});
        publishWithIndex(zip, one, zipBytes(entries));
        STEP(installSigned());
        QByteArray p2 = p1;
        for (int at : {100000, 2500000, 5000000})
            p2.replace(at, 3000, randomBytes(3000, quint32(at)));
        entries[3].data = randomBytes(60000, 99);
        entries[8].data = randomBytes(61000, 98);
        const QByteArray zip2 = zipBytes(entries);
        publishComing({{pak, {two, p2}}, {zip, {two, zip2}}}, true);
        makeWorkflow(signedSetup());
        STEP(waitForState(PreDownload::Complete));
        closeWorkflow();
        QVERIFY(bytesFetched(pak, two, p2.size()) < p2.size() / 20);
        QVERIFY(bytesFetched(zip, two, zip2.size()) < zip2.size() / 4);
        QCOMPARE(readFile(preDir() + QStringLiteral("/content.pak")), p2);

        const QString staged = ArchivePatchFiles::indexPath(preDir(), zip);
        if (spoil == QLatin1String("gone"))
            QVERIFY(QFile::remove(ArchivePatchFiles::fetchedPath(preDir(), zip)));
        if (spoil == QLatin1String("index"))
            QVERIFY(writeFile(staged, readFile(staged).replace(40, 1, "\x7f")));
        if (spoil == QLatin1String("base"))
            QVERIFY(
                writeFile(PreDownloadFolder::listPath(dir),
                          readFile(PreDownloadFolder::listPath(dir)).replace(":entries:1", ":entries:0.9")));
        publishWithMap(pak, two, p2);
        publishWithIndex(zip, two, zip2);
        signRelease();
        server->clearRequests();
        makeWorkflow(signedSetup());
        STEP(waitForGameReady());
        QCOMPARE(getsFor(pak) + server->requestCount(remotePath(pak, two) + BlockMap::RemoteSuffix), 0);
        QCOMPARE(server->requestCount(remotePath(zip, two) + ZipIndex::RemoteSuffix),
                 spoil.isEmpty() ? 0 : 1);
        QCOMPARE(getsFor(zip) > 0, !spoil.isEmpty());
        QCOMPARE(md5Hex(readFile(dir + QStringLiteral("/content.pak"))), md5Hex(p2));
        for (const ZipEntry &e : qAsConst(entries))
            QCOMPARE(md5Hex(readFile(dir + QLatin1Char('/') + QString::fromUtf8(e.name))), md5Hex(e.data));
        QCOMPARE(configValue(QStringLiteral("version/game.zip")), two);
        QTRY_VERIFY(!QFileInfo::exists(preDir()));
    }

    // A pre-downloaded file whose bytes changed on the disk is checked against the version file on
    // release day and fetched again; a hotfix of another file in between neither loses the
    // pre-download nor installs it early.
    void hotfixKeepsItAndDamageIsCaught() {
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(100000, 1));
        publish(QStringLiteral("b.bin"), QStringLiteral("1"), randomBytes(100000, 2));
        STEP(installSigned());
        const QByteArray a2 = randomBytes(200000, 3);
        publishComing({{QStringLiteral("a.bin"), {QStringLiteral("2"), a2}},
                       {QStringLiteral("b.bin"), {QStringLiteral("2"), randomBytes(1000, 4)}}});
        makeWorkflow(signedSetup());
        STEP(waitForState(PreDownload::Complete));
        closeWorkflow();

        // The hotfix: b.bin 1.5, listed after the coming list was published.
        const QByteArray hotfix =
            publish(QStringLiteral("b.bin"), QStringLiteral("1.5"), randomBytes(7000, 5));
        signRelease();
        server->clearRequests();
        makeWorkflow(signedSetup());
        STEP(waitForGameReady());
        QCOMPARE(readFile(dir + QStringLiteral("/b.bin")), hotfix);
        QCOMPARE(configValue(QStringLiteral("version/a.bin")), QStringLiteral("1"));
        // The coming list is newer still: its files stay, b.bin 2 too (newer than the hotfix).
        STEP(waitForState(PreDownload::Complete));
        QCOMPARE(readFile(preDir() + QStringLiteral("/a.bin")), a2);
        QCOMPARE(getsFor(QStringLiteral("a.bin")), 0);
        closeWorkflow();

        // Damaged on the disk while waiting: the release fetches it again.
        QFile damaged(preDir() + QStringLiteral("/a.bin"));
        QVERIFY(damaged.open(QIODevice::ReadWrite));
        damaged.seek(1000);
        damaged.write("XXXX");
        damaged.close();
        publish(QStringLiteral("a.bin"), QStringLiteral("2"), a2);
        signRelease();
        server->clearRequests();
        makeWorkflow(signedSetup());
        STEP(waitForGameReady());
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), a2);
        QVERIFY(getsFor(QStringLiteral("a.bin")) > 0);
    }

    // A new list naming another version replaces what was fetched for the old one; a list missing
    // on the host (withdrawn) removes the whole pre-download.
    void replacedThenWithdrawn() {
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(100000, 1));
        STEP(installSigned());
        publishComing({{QStringLiteral("a.bin"), {QStringLiteral("2"), randomBytes(150000, 2)}}});
        makeWorkflow(signedSetup());
        STEP(waitForState(PreDownload::Complete));

        const QByteArray a3 = randomBytes(160000, 3);
        publishComing({{QStringLiteral("a.bin"), {QStringLiteral("3"), a3}}});
        pre()->check();
        QTRY_COMPARE(readFile(preDir() + QStringLiteral("/a.bin")), a3);
        STEP(waitForState(PreDownload::Complete));
        QCOMPARE(args(WorkflowStatus::GameLine), QStringList{QStringLiteral("3")});
        QCOMPARE(PreDownloadFolder::completeFiles(dir).value(QStringLiteral("a.bin")).version,
                 QStringLiteral("3"));

        server->removeFile(ComingPath);
        server->removeFile(ComingPath + ".minisig");
        pre()->check();
        QTRY_VERIFY(!QFileInfo::exists(preDir()));
        QTRY_COMPARE(events(QStringLiteral("predownload withdrawn")).size(), 1);
        QCOMPARE(pre()->state(), PreDownload::Idle);
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("UPDATE_FINISHED"));
    }

    // Lists that are not to be trusted, or name nothing newer, are refused with a log line and an
    // event each, and change nothing: neither the pre-download's files nor the order of lists.
    void refusedListsChangeNothing() {
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(100000, 1));
        STEP(installSigned());
        const QByteArray good =
            publishComing({{QStringLiteral("a.bin"), {QStringLiteral("2"), randomBytes(120000, 2)}}});
        makeWorkflow(signedSetup());
        STEP(waitForState(PreDownload::Complete));
        const QString accepted = configValue(QStringLiteral("release/coming_timestamp"));
        QCOMPARE(accepted, QString::number(comingTime));
        const QMap<QString, QString> folder = [this]() {
            QMap<QString, QString> files;
            QDirIterator it(preDir(), QDir::Files | QDir::Hidden);
            while (it.hasNext()) {
                const QString path = it.next();
                files.insert(path, md5Hex(readFile(path)));
            }
            return files;
        }();
        const QByteArray later = QByteArray::number(comingTime + 100);
        const QByteArray newerList =
            good + ReleaseTest::line(QStringLiteral("c.bin"), QStringLiteral("2"), md5Hex("c"), 1);
        server->setFile(remotePath(QStringLiteral("c.bin"), QStringLiteral("2")), "c");
        struct Case {
            const char *why;
            QByteArray list;
            QByteArray signature;
        };
        const QList<Case> cases = {
            {"changed after signing", newerList,
             sign(good, "preload:" + later + "\tfile:version3.txt.coming")},
            {"a release's signature", newerList,
             sign(newerList, "timestamp:" + later + "\tfile:version3.txt.coming")},
            {"older than the accepted list", newerList,
             sign(newerList, "preload:" + QByteArray::number(comingTime - 5) + "\tfile:version3.txt.coming")},
            {"signed for another file", newerList,
             sign(newerList, "preload:" + later + "\tfile:version3.txt")},
            {"unreadable", "a.bin:2\n", sign("a.bin:2\n", "preload:" + later + "\tfile:version3.txt.coming")},
            {"nothing newer", versionText(),
             sign(versionText(), "preload:" + later + "\tfile:version3.txt.coming")},
        };
        for (const Case &c : cases) {
            const int refusedBefore = events(QStringLiteral("predownload refused")).size();
            server->setFile(ComingPath, c.list);
            server->setFile(ComingPath + ".minisig", c.signature);
            pre()->check();
            QTRY_VERIFY2(events(QStringLiteral("predownload refused")).size() == refusedBefore + 1, c.why);
            QVERIFY2(pre()->state() == PreDownload::Complete, c.why);
            QCOMPARE(configValue(QStringLiteral("release/coming_timestamp")), accepted);
            QDirIterator it(preDir(), QDir::Files | QDir::Hidden);
            int files = 0;
            while (it.hasNext()) {
                const QString path = it.next();
                ++files;
                QVERIFY2(folder.value(path) == md5Hex(readFile(path)), c.why);
            }
            QVERIFY2(files == folder.size(), c.why);
        }
        QCOMPARE(getsFor(QStringLiteral("c.bin")), 0);
    }

    // The player pauses and continues the pre-download from the page; with the setting on, it waits
    // while the game runs and goes on after.
    void pausedByThePlayerAndWhilePlaying() {
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(1000, 1));
        STEP(installSigned());
        publishComing({{QStringLiteral("a.bin"), {QStringLiteral("2"), randomBytes(3 * 1024 * 1024, 2)}}});
        HttpServer::Faults slow;
        slow.bytesPerSecond = 2 * 1024 * 1024;
        server->setFaults(remotePath(QStringLiteral("a.bin"), QStringLiteral("2")), slow);
        makeWorkflow(signedSetup());
        STEP(waitForState(PreDownload::Fetching));
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("PREDOWNLOAD_TIP"));
        flow->downloadBtnClicked();
        QCOMPARE(pre()->state(), PreDownload::Paused);
        QTRY_COMPARE(key(WorkflowStatus::GameLine), QStringLiteral("PREDOWNLOAD_PAUSED_TIP"));
        QCOMPARE(flow->phase(), LauncherWorkflow::Ready);
        flow->downloadBtnClicked();
        QCOMPARE(pre()->state(), PreDownload::Fetching);

        GlobalSettings::instance()->setValue(PauseDownloadsWhilePlaying, 1);
        pre()->setGameRunning(true);
        QCOMPARE(pre()->state(), PreDownload::Held);
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("PREDOWNLOAD_WAITING"));
        pre()->setGameRunning(false);
        QCOMPARE(pre()->state(), PreDownload::Fetching);
        STEP(waitForState(PreDownload::Complete));
    }
};

KV_WORKFLOW_TEST_MAIN(PreDownloadTest)
#include "tst_predownload.moc"
