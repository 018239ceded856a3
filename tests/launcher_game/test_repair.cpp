// Installed files that went missing or changed are fetched again: by size at every start, by MD5
// with --verify. Driven through the window against a CDN on 127.0.0.1.
#include "gamefixture.h"
#include "zipmaker.h"

using namespace GameTest;
using A = LauncherUpdaterTestAccess;

class RepairTest : public GameFixture {
    Q_OBJECT

    void waitForUpdateFinished() {
        QTRY_VERIFY_WITH_TIMEOUT(window && A::gameState(window) == 2, 30000);
        QCOMPARE(ui()->gameSrcDownloadInfo->textKey(), QStringLiteral("UPDATE_FINISHED"));
    }

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
    void initTestCase() {
        qApp->setQuitOnLastWindowClosed(false);
        QVERIFY(startServer());
    }
    void init() { setUpDirs(); }
    void cleanup() { tearDownDirs(); }

    void missingOrResizedFilesAreFetchedAgainAtStart() {
        const QByteArray a = randomBytes(300000, 1);
        const QByteArray b = randomBytes(5000000, 2); // two pieces
        const QByteArray c = randomBytes(1000, 3);
        const QByteArray unpacked = randomBytes(20000, 4);
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), a);
        publish(QStringLiteral("b.bin"), QStringLiteral("1"), b);
        publish(QStringLiteral("c.bin"), QStringLiteral("1"), c);
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

        // Repaired: the next start finds nothing to do.
        closeWindow();
        server->clearRequests();
        makeWindow(false);
        waitForUpdateFinished();
        QVERIFY(A::downloadManager(window) == nullptr);
        QCOMPARE(events(QStringLiteral("installed file damaged")).size(), 0);
    }

    void verifyFetchesFilesWhoseContentDiffers() {
        const QByteArray a = randomBytes(300000, 5);
        const QByteArray b = randomBytes(6000000, 6);
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), a);
        publish(QStringLiteral("b.bin"), QStringLiteral("1"), b);
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
};

KV_GAME_TEST_MAIN(RepairTest)
#include "test_repair.moc"
