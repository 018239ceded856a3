// The next release's pre-download on a disk without room for it (a small tmpfs in the test's own
// mount namespace): it does not start, or stops when the disk fills up meanwhile, says what it
// lacks, and the game stays ready; once room is made the next check fetches it.
#include "support/diskfaults.h"
#include "support/workflowfixture.h"

#include "download/resumerecord.h"
#include "workflow/predownload.h"
#include "workflow/predownloadfolder.h"

#include <QDirIterator>
#include <QStorageInfo>

using namespace WorkflowTest;

class PreDownloadRoomTest : public WorkflowFixture {
    Q_OBJECT

    PreDownload *pre() const { return flow->preDownload(); }
    QString preDir() const { return PreDownloadFolder::path(dir); }
    bool mounted = false;

    // A disk of 12 MiB over the launcher's folder, for the test's run (cleanup() unmounts it).
    void mountSmallDisk() {
        QString why;
        QVERIFY2(DiskFaults::mountSmallDisk(dir, 12 * 1024 * 1024, &why), qPrintable(why));
        mounted = true;
    }
    // The release published is installed, then the 6 MiB coming a.bin (returned) is fetched at
    // 1 MiB/s until half a MiB of it is on the disk.
    void startSlowPreDownload(QByteArray *a2) {
        STEP(installRelease());
        *a2 = randomBytes(6 * 1024 * 1024, 2);
        publishComing({{QStringLiteral("a.bin"), {QStringLiteral("2"), *a2}}});
        HttpServer::Faults slow;
        slow.bytesPerSecond = 1024 * 1024;
        server->setFaults(remotePath(QStringLiteral("a.bin"), QStringLiteral("2")), slow);
        makeWorkflow();
        QTRY_VERIFY_WITH_TIMEOUT(pre()->doneBytes() >= 512 * 1024, 20000);
        QCOMPARE(pre()->state(), PreDownload::Fetching);
    }

private slots:
    void cleanup() {
        if (mounted)
            DiskFaults::unmount(dir);
        mounted = false;
        WorkflowFixture::cleanup();
    }

    // 5 MiB coming, 3 MiB free: the pre-download stays short of room (the page says how much is
    // lacking, the event says it is the pre-download's), nothing of its files is asked for or
    // written, and the game may start. A filler removed, the next check fetches it all.
    void shortOfRoomWaitsAndTheGameStaysReady() {
        if (!DiskFaults::unavailable().isEmpty())
            QSKIP(qPrintable(DiskFaults::unavailable()));
        STEP(mountSmallDisk());
        const QByteArray a1 = publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(100000, 1));
        STEP(installRelease());

        const QString filler = dir + QStringLiteral("/filler");
        const qint64 free = QStorageInfo(dir).bytesAvailable();
        QVERIFY(writeFile(filler, QByteArray(int(free - 3 * 1024 * 1024), 'f')));
        const QByteArray a2 = randomBytes(3 * 1024 * 1024, 2);
        const QByteArray b2 = randomBytes(2 * 1024 * 1024, 3);
        publishComing({{QStringLiteral("a.bin"), {QStringLiteral("2"), a2}},
                       {QStringLiteral("b.bin"), {QStringLiteral("2"), b2}}});
        makeWorkflow();
        QTRY_COMPARE_WITH_TIMEOUT(pre()->state(), PreDownload::ShortOfRoom, 20000);
        QCOMPARE(flow->phase(), LauncherWorkflow::Ready);
        QCOMPARE(flow->gameState(), 2);
        QVERIFY(!pre()->isUnderWay());

        // What is lacking: the whole coming files less what is free now (the launcher wrote nothing
        // since it looked, but the small records of the coming list may have).
        QTRY_COMPARE(events(QStringLiteral("not enough disk space")).size(), 1);
        const QJsonObject shortage = events(QStringLiteral("not enough disk space")).first();
        QCOMPARE(shortage.value(QStringLiteral("predownload")).toBool(), true);
        const qint64 missing = qint64(shortage.value(QStringLiteral("missing")).toDouble());
        const qint64 lacking = a2.size() + b2.size() - QStorageInfo(dir).bytesAvailable();
        QVERIFY2(qAbs(missing - lacking) <= 64 * 1024,
                 qPrintable(QStringLiteral("%1 %2").arg(missing).arg(lacking)));
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("PREDOWNLOAD_NO_ROOM"));
        QCOMPARE(args(WorkflowStatus::GameLine),
                 QStringList({QStringLiteral("2"), ProgressText::formatSize(float(missing), 2)}));

        QCOMPARE(getsFor(QStringLiteral("b.bin")), 0);
        QVERIFY(server->requestsFor(remotePath(QStringLiteral("a.bin"), QStringLiteral("2"))).isEmpty());
        QVERIFY(PreDownloadFolder::bytesOnDisk(dir) < 64 * 1024);
        QDirIterator inside(preDir(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
        while (inside.hasNext()) {
            inside.next();
            QVERIFY2(inside.fileName().startsWith(QLatin1String(".kestrivane-")),
                     qPrintable(inside.fileName()));
        }
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), a1);
        QCOMPARE(configValue(QStringLiteral("version/a.bin")), QStringLiteral("1"));

        // Room made: the next check fetches the coming release whole.
        QVERIFY(QFile::remove(filler));
        pre()->check();
        QTRY_COMPARE_WITH_TIMEOUT(pre()->state(), PreDownload::Complete, 30000);
        QCOMPARE(readFile(preDir() + QStringLiteral("/a.bin")), a2);
        QCOMPARE(readFile(preDir() + QStringLiteral("/b.bin")), b2);
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), a1);
        QCOMPARE(events(QStringLiteral("not enough disk space")).size(), 1);
    }

    // A pre-download stopped half way and a disk that has filled up since: what is lacking is what
    // is still to come less what is free, and what was fetched stays as it was.
    void shortOfRoomCountsWhatIsAlreadyThere() {
        if (!DiskFaults::unavailable().isEmpty())
            QSKIP(qPrintable(DiskFaults::unavailable()));
        STEP(mountSmallDisk());
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(100000, 1));
        QByteArray a2;
        STEP(startSlowPreDownload(&a2));
        closeWorkflow();
        const QString target = preDir() + QStringLiteral("/a.bin");
        const QByteArray fetched = readFile(ResumeRecord::partialPath(target));
        ResumeRecord record;
        QVERIFY(ResumeRecord::fromFileBytes(readFile(ResumeRecord::recordPath(target)), &record).ok());
        const qint64 kept = record.completeBytes();
        QVERIFY(kept > 0 && kept < a2.size() - 2 * 1024 * 1024);

        // 1 MiB free, more than 2 MiB still to come.
        const QString filler = dir + QStringLiteral("/filler");
        QVERIFY(writeFile(filler, QByteArray(int(QStorageInfo(dir).bytesAvailable() - 1024 * 1024), 'f')));
        server->clearRequests();
        makeWorkflow();
        QTRY_COMPARE_WITH_TIMEOUT(pre()->state(), PreDownload::ShortOfRoom, 20000);
        QCOMPARE(flow->phase(), LauncherWorkflow::Ready);
        QCOMPARE(flow->gameState(), 2);
        QTRY_COMPARE(events(QStringLiteral("not enough disk space")).size(), 1);
        const qint64 missing = qint64(events(QStringLiteral("not enough disk space"))
                                          .first()
                                          .value(QStringLiteral("missing"))
                                          .toDouble());
        const qint64 lacking = a2.size() - kept - QStorageInfo(dir).bytesAvailable();
        QVERIFY2(lacking > 0 && qAbs(missing - lacking) <= 64 * 1024,
                 qPrintable(QStringLiteral("%1 %2").arg(missing).arg(lacking)));
        QCOMPARE(args(WorkflowStatus::GameLine).value(1), ProgressText::formatSize(float(missing), 2));
        QCOMPARE(getsFor(QStringLiteral("a.bin")), 0);
        QCOMPARE(readFile(ResumeRecord::partialPath(target)), fetched);
    }

    // The disk fills up while the pre-download writes (another program takes the room): it waits
    // for room as if the disk had been short from the start, and the game stays as it was; room
    // made, the next check completes it.
    void diskFillingUpMidwayWaitsForRoom() {
        if (!DiskFaults::unavailable().isEmpty())
            QSKIP(qPrintable(DiskFaults::unavailable()));
        STEP(mountSmallDisk());
        const QByteArray a1 = publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(100000, 1));
        QByteArray a2;
        STEP(startSlowPreDownload(&a2));
        const QString filler = dir + QStringLiteral("/filler");
        QVERIFY(DiskFaults::fillUp(filler));

        QTRY_VERIFY_WITH_TIMEOUT(pre()->state() != PreDownload::Fetching, 30000);
        QCOMPARE(pre()->state(), PreDownload::ShortOfRoom);
        QCOMPARE(flow->phase(), LauncherWorkflow::Ready);
        QCOMPARE(flow->gameState(), 2);
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("PREDOWNLOAD_NO_ROOM"));
        QTRY_COMPARE(events(QStringLiteral("not enough disk space")).size(), 1);
        const QJsonObject shortage = events(QStringLiteral("not enough disk space")).first();
        QCOMPARE(shortage.value(QStringLiteral("predownload")).toBool(), true);
        const qint64 missing = qint64(shortage.value(QStringLiteral("missing")).toDouble());
        QVERIFY2(missing > 0 && missing <= a2.size(), qPrintable(QString::number(missing)));
        QCOMPARE(args(WorkflowStatus::GameLine).value(1), ProgressText::formatSize(float(missing), 2));
        QVERIFY(events(QStringLiteral("predownload failed")).isEmpty());
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), a1);
        QCOMPARE(configValue(QStringLiteral("version/a.bin")), QStringLiteral("1"));

        QVERIFY(QFile::remove(filler));
        server->clearFaults();
        pre()->check();
        QTRY_COMPARE_WITH_TIMEOUT(pre()->state(), PreDownload::Complete, 30000);
        QCOMPARE(readFile(preDir() + QStringLiteral("/a.bin")), a2);
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), a1);
    }
};

KV_WORKFLOW_TEST_MAIN(PreDownloadRoomTest)
#include "tst_predownloadroom.moc"
