// Files already on the disk without a record (a game folder copied from another machine, a lost
// "config.ini") and the repair the player asks for from the window, against a CDN on 127.0.0.1 that
// lists a block map and an entry index: what is fetched (counted at the server), what is recorded,
// what is left alone and what the page ends with.
#include "support/teststep.h"
#include "support/workflowfixture.h"
#include "support/zipwriter.h"

#include "workflow/labelargs.h"

#include <QDateTime>
#include <QDirIterator>

using namespace WorkflowTest;

class AdoptionTest : public WorkflowFixture {
    Q_OBJECT

    QList<ZipEntry> entries;
    QByteArray big;
    QByteArray small;
    QStringList gameLines; // every game-line key shown, in order

    void publishRelease() {
        entries.clear();
        for (int i = 0; i < 30; ++i) {
            ZipEntry e;
            e.name = QStringLiteral("data/file%1.bin").arg(i, 3, 10, QLatin1Char('0')).toUtf8();
            e.stored = i % 2 == 1;
            e.data = randomBytes(20000 + 1000 * i, quint32(300 + i));
            entries.append(e);
        }
        publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("1"), zipBytes(entries));
        big = randomBytes(6 * 1024 * 1024, 11);
        publishWithMap(QStringLiteral("big.bin"), QStringLiteral("1"), big);
        small = publish(QStringLiteral("small.dat"), QStringLiteral("1"), randomBytes(3000, 12));
    }

    LauncherWorkflow *startWatched() {
        gameLines.clear();
        makeWorkflow(fastSetup(), false, false);
        connect(flow, &LauncherWorkflow::status, this,
                [this](WorkflowStatus::Line l, const WorkflowStatus &s) {
                    if (l == WorkflowStatus::GameLine && (gameLines.isEmpty() || gameLines.last() != s.key))
                        gameLines << s.key;
                });
        flow->start();
        return flow;
    }

    bool installedSound() const {
        bool sound = readFile(dir + QStringLiteral("/big.bin")) == big &&
                     readFile(dir + QStringLiteral("/small.dat")) == small;
        for (const ZipEntry &e : entries)
            sound = sound && readFile(dir + QLatin1Char('/') + QString::fromUtf8(e.name)) == e.data;
        return sound;
    }

    void flipByte(const QString &name, int offset) {
        QByteArray bytes = readFile(dir + QLatin1Char('/') + name);
        QVERIFY(offset < bytes.size());
        bytes[offset] = char(bytes.at(offset) ^ 0x5a);
        QVERIFY(writeFile(dir + QLatin1Char('/') + name, bytes));
    }

    // What a copied folder lacks: "config.ini" and every record the launcher keeps beside the files.
    void forgetRecords() {
        QVERIFY(QFile::remove(dir + QStringLiteral("/config.ini")));
        QDirIterator it(dir, {QStringLiteral("*.kestrivane-*")}, QDir::Files);
        while (it.hasNext())
            QVERIFY(QFile::remove(it.next()));
    }

    // The CDN paths asked for beyond the version file, its signature, the maps and the indexes.
    QStringList gameFileGets() const {
        QStringList gets;
        for (const HttpServer::Request &r : server->requests()) {
            const QString path = QString::fromUtf8(r.path);
            if (r.path.startsWith(ReleaseTest::CdnPrefix) && !r.path.startsWith(ReleaseTest::VersionPath) &&
                !path.endsWith(QLatin1String(BlockMap::RemoteSuffix)) &&
                !path.endsWith(QLatin1String(ZipIndex::RemoteSuffix)))
                gets << path.mid(ReleaseTest::CdnPrefix.size());
        }
        gets.removeDuplicates();
        return gets;
    }

private slots:
    // A release installed by one launcher, its "config.ini" and records removed: the next start
    // fetches only what differs (nothing, one file's blocks, one entry); a folder of other files
    // gets the whole release and keeps its own files as they were.
    void filesOnTheDiskAreAdopted_data() {
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("changed");
        QTest::addColumn<QStringList>("fetched");
        QTest::newRow("copied folder") << true << QString() << QStringList();
        QTest::newRow("plain file changed") << true << "big.bin" << QStringList{"v1_big.bin"};
        QTest::newRow("extracted file changed") << true << "data/file007.bin" << QStringList{"v1_game.zip"};
        QTest::newRow("other files only")
            << false << QString() << QStringList{"v1_big.bin", "v1_game.zip", "v1_small.dat"};
    }
    void filesOnTheDiskAreAdopted() {
        QFETCH(bool, installed);
        QFETCH(QString, changed);
        QFETCH(QStringList, fetched);
        publishRelease();
        const QString own = dir + QStringLiteral("/my notes.txt");
        QVERIFY(writeFile(own, "the player's own file"));
        {
            QFile file(own);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::fromSecsSinceEpoch(1600000000),
                                     QFileDevice::FileModificationTime));
        }
        if (installed) {
            STEP(installRelease());
            STEP(forgetRecords());
        }
        if (!changed.isEmpty())
            STEP(flipByte(changed, 3 * 1024 + 17));

        startWatched();
        STEP(waitForReady());
        QVERIFY(installedSound());
        QStringList gets = gameFileGets();
        gets.sort();
        QCOMPARE(gets, fetched);
        QCOMPARE(configValue(QStringLiteral("version/game.zip")), QStringLiteral("1"));
        QCOMPARE(configValue(QStringLiteral("version/big.bin")), QStringLiteral("1"));
        QCOMPARE(configValue(QStringLiteral("version/small.dat")), QStringLiteral("1"));
        QCOMPARE(readFile(own), QByteArray("the player's own file"));
        QCOMPARE(QFileInfo(own).lastModified().toSecsSinceEpoch(), 1600000000);
        if (!installed)
            return;
        // The check said what it did, and a changed file cost its blocks (or its entry) alone.
        QVERIFY2(gameLines.contains(QStringLiteral("ADOPTING_TIP")), qPrintable(gameLines.join(' ')));
        QCOMPARE(phases.first(), LauncherWorkflow::Verifying);
        QTRY_VERIFY(!events(QStringLiteral("files adopted")).isEmpty());
        QCOMPARE(events(QStringLiteral("files adopted")).first().value("files").toInt(),
                 changed.isEmpty() ? 3 : 2);
        QVERIFY(bytesFetched(QStringLiteral("big.bin"), QStringLiteral("1"), big.size()) < 256 * 1024);
        QVERIFY(bytesFetched(QStringLiteral("game.zip"), QStringLiteral("1"),
                             release["game.zip"].data.size()) < release["game.zip"].data.size() / 4);
        // The next start finds everything recorded: it looks at nothing again.
        closeWorkflow();
        server->clearRequests();
        startWatched();
        STEP(waitForReady());
        QVERIFY(!phases.contains(LauncherWorkflow::Verifying));
        QVERIFY(gameFileGets().isEmpty());
    }

    // "Verify game files" from the window: a flipped byte in an extracted file and one in a plain
    // file are both repaired and the page says 2 with the bytes fetched; a second repair finds every
    // file sound. Counts and sizes are written as the catalogue's language writes numbers.
    void repairFromTheWindowSaysWhatItFound() {
        publishRelease();
        STEP(installRelease());
        startWatched();
        STEP(waitForReady());
        QVERIFY(flow->canVerify());
        STEP(flipByte(QStringLiteral("data/file004.bin"), 100));
        STEP(flipByte(QStringLiteral("big.bin"), 5 * 1024 * 1024));
        server->clearRequests();

        flow->verifyNow();
        QVERIFY(!flow->canVerify()); // under way: the button is disabled
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::Ready, 30000);
        QVERIFY(installedSound());
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("VERIFY_REPAIRED"));
        QCOMPARE(args(WorkflowStatus::GameLine).value(0), QStringLiteral("2"));
        QVERIFY2(shown(WorkflowStatus::GameLine).startsWith(QStringLiteral("2 damaged files repaired, ")),
                 qPrintable(shown(WorkflowStatus::GameLine)));
        QVERIFY(args(WorkflowStatus::GameLine).value(1).endsWith(QStringLiteral("KB")));
        QVERIFY(!gameFileGets().contains(QStringLiteral("v1_small.dat")));

        flow->verifyNow();
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::Ready, 30000);
        QCOMPARE(shown(WorkflowStatus::GameLine), QStringLiteral("All 32 files are sound"));

        const QList<QPair<int, QStringList>> written = {{1, {"1,204", "4.77MB", "1.5KB"}},
                                                        {4, {"1.204", "4,77MB", "1,5KB"}},
                                                        {5, {"1,204", "4.77MB", "1.5KB"}}};
        for (const auto &[language, texts] : written) {
            Translation::instance()->setLanguageIndex(language);
            QCOMPARE(LabelArgs::count(1204).toText(), texts.at(0));
            QCOMPARE(LabelArgs::size(5000000).toText(), texts.at(1));
            QCOMPARE(LabelArgs::size(1536).toText(), texts.at(2));
        }
    }
};

KV_WORKFLOW_TEST_MAIN(AdoptionTest)
#include "tst_adoption.moc"
