// Picking up where it stopped: installed files that went missing or changed are fetched again (by
// size at every start, by MD5 with --verify), and a download closed half way resumes with the rest.
// Driven through the window against a CDN on 127.0.0.1.
#include "download/xdmanager.h"
#include "support/windowfixture.h"
#include "support/zipwriter.h"

using namespace WindowTest;
using A = LauncherUpdaterTestAccess;

class RepairTest : public WindowFixture {
    Q_OBJECT

    QMap<QString, QString> damageReasons() const {
        QMap<QString, QString> reasons;
        for (const QJsonObject &e : events(QStringLiteral("installed file damaged")))
            reasons.insert(e.value(QStringLiteral("file")).toString(),
                           e.value(QStringLiteral("reason")).toString());
        return reasons;
    }

    LauncherUpdater *makeWindow(bool verify) {
        window = new LauncherUpdater();
        window->setVerifyInstalledFiles(verify);
        window->show();
        return window;
    }

    // Installs the release into the empty launcher directory.
    void installRelease(bool verify = false) {
        makeWindow(verify);
        waitForUpdateFinished();
        closeWindow();
        server->clearRequests();
    }

private slots:
    void missingOrResizedFilesAreFetchedAgainAtStart() {
        const QByteArray b = randomBytes(5000000, 2); // two pieces
        const QByteArray unpacked = randomBytes(20000, 4);
        const QByteArray a = publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(300000, 1));
        publish(QStringLiteral("b.bin"), QStringLiteral("1"), b);
        const QByteArray c = publish(QStringLiteral("c.bin"), QStringLiteral("1"), randomBytes(1000, 3));
        const QByteArray pack =
            publish(QStringLiteral("pack.zip"), QStringLiteral("1"), zipBytes({{"pack/data.bin", unpacked}}));
        installRelease();

        // Deleted, truncated, and an archive recorded as waiting to be unpacked that is gone. The
        // archive unpacked earlier (deleted on purpose) is no damage.
        QVERIFY(QFile::remove(dir + QStringLiteral("/a.bin")));
        QVERIFY(QFile::resize(dir + QStringLiteral("/b.bin"), 1000));
        writeConfig(QStringLiteral("uncompressing/pack.zip"), 1);
        QVERIFY(QFile::remove(dir + QStringLiteral("/pack/data.bin")));
        makeWindow(false);
        waitForUpdateFinished();

        QCOMPARE(getsFor(QStringLiteral("a.bin")), 1);
        QCOMPARE(getsFor(QStringLiteral("b.bin")), 2);
        QCOMPARE(getsFor(QStringLiteral("c.bin")), 0);
        QCOMPARE(getsFor(QStringLiteral("pack.zip")), 1);
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), a);
        QCOMPARE(readFile(dir + QStringLiteral("/b.bin")), b);
        QCOMPARE(readFile(dir + QStringLiteral("/pack/data.bin")), unpacked);
        QCOMPARE(configValue(QStringLiteral("version/b.bin")), QStringLiteral("1"));
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
        QTRY_COMPARE(damageReasons().size(), 3);
        QCOMPARE(damageReasons().value(QStringLiteral("a.bin")), QStringLiteral("missing"));
        QCOMPARE(damageReasons().value(QStringLiteral("b.bin")),
                 QStringLiteral("size 1000 on disk, 5000000 listed"));
        QCOMPARE(damageReasons().value(QStringLiteral("pack.zip")), QStringLiteral("missing"));

        // Repaired: the next start finds nothing to do. An unpacked archive still on disk (left by
        // a launcher stopped between clearing its mark and deleting it) is only removed.
        closeWindow();
        QVERIFY(writeFile(dir + QStringLiteral("/pack.zip"), pack));
        server->clearRequests();
        makeWindow(false);
        waitForUpdateFinished();
        QVERIFY(flow()->resources()->downloadManager() == nullptr);
        QCOMPARE(events(QStringLiteral("installed file damaged")).size(), 0);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/pack.zip")));
        QCOMPARE(readFile(dir + QStringLiteral("/pack/data.bin")), unpacked);
    }

    // A run closed while unpacking left old.zip marked; the next release lists new.zip instead.
    void namesNoLongerListedLeaveNoMarkRecordOrArchive() {
        const QByteArray fresh = randomBytes(2000, 8);
        publish(QStringLiteral("new.zip"), QStringLiteral("2"), zipBytes({{"data.bin", fresh}}));
        QVERIFY(writeFile(dir + QStringLiteral("/old.zip"), zipBytes({{"data.bin", randomBytes(2000, 9)}})));
        writeConfig(QStringLiteral("uncompressing/old.zip"), 1);
        writeConfig(QStringLiteral("version/old.zip"), QStringLiteral("1"));
        writeConfig(QStringLiteral("version/gone.bin"), QStringLiteral("1"));
        makeWindow(false);
        waitForUpdateFinished();
        QCOMPARE(readFile(dir + QStringLiteral("/data.bin")), fresh);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/old.zip")));
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
        QCOMPARE(configKeys(QStringLiteral("version")), QStringList{QStringLiteral("new.zip")});
    }

    void verifyFetchesFilesWhoseContentDiffers() {
        const QByteArray a = publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(300000, 5));
        const QByteArray b = publish(QStringLiteral("b.bin"), QStringLiteral("1"), randomBytes(6000000, 6));
        installRelease(true); // nothing installed yet: nothing to hash, the update runs as usual

        // Same size, one byte changed: only the hash sees it.
        QByteArray changed = b;
        changed[4200000] = char(changed.at(4200000) ^ 0x5a);
        QVERIFY(writeFile(dir + QStringLiteral("/b.bin"), changed));
        makeWindow(false);
        waitForUpdateFinished();
        QCOMPARE(getsFor(QStringLiteral("b.bin")), 0);
        closeWindow();

        makeWindow(true);
        waitForUpdateFinished();
        QCOMPARE(getsFor(QStringLiteral("a.bin")), 0);
        QCOMPARE(getsFor(QStringLiteral("b.bin")), 2);
        QCOMPARE(readFile(dir + QStringLiteral("/b.bin")), b);
        QTRY_COMPARE(damageReasons().size(), 1);
        QCOMPARE(damageReasons().value(QStringLiteral("b.bin")),
                 QStringLiteral("md5 %1 on disk, %2 listed").arg(md5Hex(changed), md5Hex(b)));
    }

    void closedHalfWayShowsHalfAndFetchesOnlyTheRest() {
        const qint64 piece = 4194304;
        const QByteArray big = randomBytes(int(8 * piece), 7);
        publish(QStringLiteral("big.bin"), QStringLiteral("1"), big);
        const QByteArray path = remotePath(QStringLiteral("big.bin"), QStringLiteral("1"));
        HttpServer::Faults hold;
        hold.hold = true;
        for (int k = 4; k < 8; ++k)
            server->setFaults(path, hold, k * piece);
        makeWindow(false);
        QTRY_VERIFY_WITH_TIMEOUT(
            window && VersionTable::instance().value(QStringLiteral("big.bin")).downloadedBytes == 4 * piece,
            30000);

        // Leave through the exit sequence, confirming the question; the held pieces never arrive.
        exitAnswering(true);
        closeWindow();
        server->clearFaults();
        server->release();

        makeWindow(false);
        QTRY_VERIFY_WITH_TIMEOUT(ui()->startGameBtn->textKey() == QLatin1String("RESUME_DOWNLOADING"), 15000);
        // The pieces complete at the close, less at most those still being written then.
        const qint64 kept = flow()->resources()->downloadManager()->resumedBytes();
        QVERIFY2(kept >= 2 * piece && kept <= 4 * piece, qPrintable(QString::number(kept)));
        const qint64 total = big.size() + LauncherEntrySize;
        QCOMPARE(argTexts(ui()->gameSrcDownloadInfo),
                 (QStringList{QString::number(int(float(double(kept) * 100.0 / double(total)))),
                              LauncherUpdater::formatSize(float(kept), 2),
                              LauncherUpdater::formatSize(float(total), 2)}));
        QCOMPARE(argTexts(ui()->downloadingSpeedInfo), QStringList{QStringLiteral("0B")});

        const qint64 sentBefore = server->bodyBytesSent();
        ui()->startGameBtn->click();
        waitForUpdateFinished();
        QCOMPARE(readFile(dir + QStringLiteral("/big.bin")), big);
        QCOMPARE(server->bodyBytesSent() - sentBefore, big.size() - kept);
    }
};

KV_LAUNCHER_TEST_MAIN(RepairTest)
#include "test_repair.moc"
