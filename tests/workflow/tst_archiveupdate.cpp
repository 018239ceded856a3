// Archives updated by their changed entries alone, against a CDN on 127.0.0.1 that lists an entry
// index beside each archive: what is fetched (counted at the server), what is kept and copied,
// what a damaged or tampered file leads to, and what an interrupted update picks up again.
#include "support/teststep.h"
#include "support/workflowfixture.h"
#include "support/zipwriter.h"

#include "archive/archivepatchfiles.h"
#include "archive/archivepatchplan.h"
#include "archive/extractedfiles.h"
#include "download/xdmanager.h"

using namespace WorkflowTest;

namespace {

// A game archive of text (deflated) and binary (stored) entries, each of its own content.
QList<ZipEntry> gameEntries(int count) {
    QList<ZipEntry> entries;
    for (int i = 0; i < count; ++i) {
        ZipEntry e;
        e.name = QStringLiteral("data/file%1.%2")
                     .arg(i, 3, 10, QLatin1Char('0'))
                     .arg(i % 2 ? "bin" : "txt")
                     .toUtf8();
        e.stored = i % 2 == 1;
        e.data = e.stored ? randomBytes(20000 + 997 * i, quint32(100 + i))
                          : QByteArray("line of level text ").repeated(500 + 13 * i) + QByteArray::number(i);
        entries.append(e);
    }
    return entries;
}

} // namespace

class ArchiveUpdateTest : public WorkflowFixture {
    Q_OBJECT

    // What the index lists for the entries whose names are given: their bytes in the archive, and
    // the central directory's, fetched with them for their modes.
    static qint64 spanOf(const ZipIndex &index, const QStringList &names) {
        qint64 sum = 0;
        for (const ZipIndex::Entry &e : index.entries()) {
            if (names.contains(e.name))
                sum += e.span;
        }
        return sum + index.directorySize();
    }
    bool installedAs(const QList<ZipEntry> &entries) const {
        for (const ZipEntry &e : entries) {
            if (readFile(dir + QLatin1Char('/') + QString::fromUtf8(e.name)) != e.data) {
                qWarning("%s differs", e.name.constData());
                return false;
            }
        }
        return true;
    }
    bool noUpdateLeftovers(const QString &archive) const {
        return !QFile::exists(ArchivePatchFiles::planPath(dir, archive)) &&
               !QFile::exists(ArchivePatchFiles::fetchedPath(dir, archive)) &&
               !QFile::exists(dir + QLatin1Char('/') + archive);
    }

private slots:
    // Two entries changed, one added, one renamed: only the changed and added entries' bytes are
    // fetched, the renamed one is copied, the rest kept; the record, the version and the event say so.
    void updateFetchesOnlyChangedEntries() {
        QList<ZipEntry> v1 = gameEntries(40);
        const QByteArray first = zipBytes(v1);
        publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("1"), first);
        STEP(installRelease());
        QVERIFY(installedAs(v1));
        // The first version's archive, left by a launcher stopped between unpacking and deleting
        // it: never to be unpacked as the second's.
        QVERIFY(writeFile(dir + QStringLiteral("/game.zip"), first));

        QList<ZipEntry> v2 = v1;
        v2[3].data = randomBytes(31000, 7);        // stored, changed
        v2[10].data = "a new text of level ten\n"; // deflated, changed
        v2[20].name = "data/renamed020.txt";       // same content, new name
        v2.append({"data/added.bin", randomBytes(12345, 8), true});
        const QByteArray archive = zipBytes(v2);
        const ZipIndex index = publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("2"), archive);
        // While the index comes and the plan is made the page says so, without speed or time.
        HttpServer::Faults held;
        held.hold = true;
        server->setFaults(
            remotePath(QStringLiteral("game.zip"), QStringLiteral("2")) + ZipIndex::RemoteSuffix, held);
        makeWorkflow();
        QTRY_COMPARE_WITH_TIMEOUT(key(WorkflowStatus::GameLine), QStringLiteral("CHECKING_CHANGES"), 10000);
        QVERIFY(key(WorkflowStatus::TimeLine).isEmpty() && key(WorkflowStatus::SpeedLine).isEmpty());
        server->clearFaults();
        server->release();
        STEP(waitForReady());
        QVERIFY(installedAs(v2));
        // The old name stays: files an archive no longer holds are never deleted.
        QCOMPARE(readFile(dir + QStringLiteral("/data/file020.txt")), v1[20].data);
        const qint64 changed = spanOf(index, {"data/file003.bin", "data/file010.txt", "data/added.bin"});
        const qint64 fetched = bytesFetched(QStringLiteral("game.zip"), QStringLiteral("2"), archive.size());
        QVERIFY2(fetched == changed,
                 qPrintable(QStringLiteral("%1 fetched, %2 changed").arg(fetched).arg(changed)));
        // The index the room check fetched is the one the update is planned from.
        QCOMPARE(getsFor(QStringLiteral("game.zip.zipindex")), 1);
        QCOMPARE(configValue(QStringLiteral("version/game.zip")), QStringLiteral("2"));
        QVERIFY(!configHas(QStringLiteral("uncompressing/game.zip")));
        QVERIFY(noUpdateLeftovers(QStringLiteral("game.zip")));
        QTRY_COMPARE(events(QStringLiteral("archive patched")).size(), 1);
        const QJsonObject patched = events(QStringLiteral("archive patched")).first();
        QCOMPARE(patched.value(QStringLiteral("fetched")).toInt(), 3);
        QCOMPARE(patched.value(QStringLiteral("copied")).toInt(), 1);
        QCOMPARE(patched.value(QStringLiteral("kept")).toInt(), 37);
        QCOMPARE(qint64(patched.value(QStringLiteral("fetchedBytes")).toDouble()), changed);
        ExtractedFiles record;
        QVERIFY(
            ExtractedFiles::load(ExtractedFiles::recordPath(dir, QStringLiteral("game.zip")), &record).ok());
        QCOMPARE(record.version(), QStringLiteral("2"));
        QCOMPARE(record.indexDigest(), release.value(QStringLiteral("game.zip")).mapDigest);
        QCOMPARE(record.files().size(), v2.size());
        closeWorkflow();

        // A file of the archive damaged in place (same size): --verify finds it, and the entry
        // alone is fetched again.
        QByteArray damaged = v2[5].data;
        damaged[100] = char(damaged[100] ^ 0x20);
        QVERIFY(writeFile(dir + QStringLiteral("/data/file005.bin"), damaged));
        server->clearRequests();
        makeWorkflow(true);
        STEP(waitForReady());
        QVERIFY(installedAs(v2));
        QCOMPARE(bytesFetched(QStringLiteral("game.zip"), QStringLiteral("2"), archive.size()),
                 spanOf(index, {"data/file005.bin"}));
        QCOMPARE(eventField(QStringLiteral("installed file damaged"), QStringLiteral("entry")),
                 QStringLiteral("data/file005.bin"));
    }

    // Killed after the changed entries arrived and before they were unpacked: the next start
    // unpacks them without fetching anything, though the archive itself was never on the disk.
    void fetchedUpdateIsUnpackedAtTheNextStart() {
        const QList<ZipEntry> v1 = gameEntries(12);
        publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("1"), zipBytes(v1));
        STEP(installRelease());
        QList<ZipEntry> v2 = v1;
        v2[2].data = "level two, rewritten";
        const QByteArray archive = zipBytes(v2);
        const ZipIndex index = publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("2"), archive);
        // What the download left: the index, the plan and the fetched entries; recorded and marked.
        const QString digest = release.value(QStringLiteral("game.zip")).mapDigest;
        ExtractedFiles record;
        QVERIFY(
            ExtractedFiles::load(ExtractedFiles::recordPath(dir, QStringLiteral("game.zip")), &record).ok());
        ArchivePatchPlan plan;
        QVERIFY(ArchivePatchPlan::decide(index, digest, record, dir, {}, &plan).ok());
        QByteArray fetched;
        for (const ArchivePatchPlan::Span &span : plan.spans())
            fetched += archive.mid(int(span.offset), int(span.length));
        QVERIFY(writeFile(ArchivePatchFiles::indexPath(dir, QStringLiteral("game.zip")), index.toBytes()));
        QVERIFY(writeFile(ArchivePatchFiles::planPath(dir, QStringLiteral("game.zip")), plan.toBytes()));
        QVERIFY(writeFile(ArchivePatchFiles::fetchedPath(dir, QStringLiteral("game.zip")), fetched));
        writeConfig(QStringLiteral("version/game.zip"), QStringLiteral("2"));
        writeConfig(QStringLiteral("uncompressing/game.zip"), 1);

        makeWorkflow();
        STEP(waitForReady());
        QVERIFY(installedAs(v2));
        QCOMPARE(getsFor(QStringLiteral("game.zip")), 0);
        QVERIFY(events(QStringLiteral("installed file damaged")).isEmpty());
        QTRY_COMPARE(events(QStringLiteral("archive patched")).size(), 1);
        QVERIFY(noUpdateLeftovers(QStringLiteral("game.zip")));
    }

    // The whole archive is fetched when the index cannot be used or would not save anything: a
    // tampered index, none listed, or more than half of the archive changed.
    void wholeArchiveWhenTheIndexDoesNotHelp() {
        const QList<ZipEntry> v1 = gameEntries(12);
        publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("1"), zipBytes(v1));
        STEP(installRelease());

        // Tampered: served bytes that are not the listed digest's.
        QList<ZipEntry> v2 = v1;
        v2[0].data = "changed";
        QByteArray archive = zipBytes(v2);
        QByteArray index =
            publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("2"), archive).toBytes();
        index[index.size() - 1] = char(index[index.size() - 1] ^ 1);
        server->setFile(remotePath(QStringLiteral("game.zip"), QStringLiteral("2")) + ".zipindex", index);
        makeWorkflow();
        STEP(waitForReady());
        QVERIFY(installedAs(v2));
        QCOMPARE(bytesFetched(QStringLiteral("game.zip"), QStringLiteral("2"), archive.size()),
                 qint64(archive.size()));
        QVERIFY(events(QStringLiteral("archive patched")).isEmpty());
        closeWorkflow();

        // Most entries changed: the whole archive costs less.
        QList<ZipEntry> v3 = v2;
        for (int i = 0; i < v3.size(); i += 1)
            v3[i].data = randomBytes(v3[i].data.size() + 1, quint32(900 + i));
        archive = zipBytes(v3);
        publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("3"), archive);
        server->clearRequests();
        makeWorkflow();
        STEP(waitForReady());
        QVERIFY(installedAs(v3));
        QCOMPARE(bytesFetched(QStringLiteral("game.zip"), QStringLiteral("3"), archive.size()),
                 qint64(archive.size()));
        QVERIFY(events(QStringLiteral("archive patched")).isEmpty());
        ExtractedFiles record;
        QVERIFY(
            ExtractedFiles::load(ExtractedFiles::recordPath(dir, QStringLiteral("game.zip")), &record).ok());
        QCOMPARE(record.version(), QStringLiteral("3"));
    }

    // A CDN that answers ranges with the whole file: the changed entries cannot be had alone, and
    // the whole archive is fetched in the same run instead of failing at every try.
    void serverWithoutRangesGetsTheWholeArchive() {
        const QList<ZipEntry> v1 = gameEntries(20);
        publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("1"), zipBytes(v1));
        STEP(installRelease());
        QList<ZipEntry> v2 = v1;
        v2[7].data = "seven, rewritten";
        publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("2"), zipBytes(v2));
        HttpServer::Faults noRanges;
        noRanges.ignoreRange = true;
        server->setFaults(remotePath(QStringLiteral("game.zip"), QStringLiteral("2")), noRanges);
        WorkflowSetup setup = fastSetup();
        setup.pieceRetryFirstMs = 10;
        setup.pieceRetryMaxMs = 20;
        setup.pieceRetryTotalMs = 200;
        makeWorkflow(setup);
        STEP(waitForReady());
        QVERIFY(installedAs(v2));
        QVERIFY(events(QStringLiteral("archive patched")).isEmpty());
        QVERIFY(noUpdateLeftovers(QStringLiteral("game.zip")));
        QCOMPARE(configValue(QStringLiteral("version/game.zip")), QStringLiteral("2"));
    }

    // Closed while the changed entries arrive: the next start asks only for the rest.
    void closedDuringTheFetchResumes() {
        QList<ZipEntry> v1 = gameEntries(10);
        v1.append({"data/large.bin", randomBytes(8 * 1024 * 1024, 45), true});
        publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("1"), zipBytes(v1));
        STEP(installRelease());
        QList<ZipEntry> v2 = v1;
        v2[4].data = randomBytes(3 * 1024 * 1024, 44);
        v2[4].stored = true;
        const QByteArray archive = zipBytes(v2);
        const ZipIndex index = publishWithIndex(QStringLiteral("game.zip"), QStringLiteral("2"), archive);
        throttle(QStringLiteral("game.zip"), 512 * 1024);
        makeWorkflow();
        const QString partial =
            ArchivePatchFiles::fetchedPath(dir, QStringLiteral("game.zip")) + ".kestrivane-download";
        // Counted in the entry's own (random) bytes: the directory fetched after it sets the file's size.
        const ZipIndex::Entry &entry = index.entries().at(4);
        const auto onDisk = [&] {
            const QByteArray got = readFile(partial),
                             wanted = archive.mid(int(entry.headerOffset), int(entry.span));
            qint64 same = 0;
            for (int at = 0; at + 4096 <= qMin(got.size(), wanted.size()); at += 4096)
                same += got.mid(at, 4096) == wanted.mid(at, 4096) ? 4096 : 0;
            return same;
        };
        QTRY_VERIFY_WITH_TIMEOUT(onDisk() > 1024 * 1024, 20000);
        closeWorkflow();
        QVERIFY(!installedAs(v2));

        server->clearRequests();
        server->setFaults(remotePath(QStringLiteral("game.zip"), QStringLiteral("2")), HttpServer::Faults());
        makeWorkflow();
        STEP(waitForReady());
        QVERIFY(installedAs(v2));
        const qint64 second = bytesFetched(QStringLiteral("game.zip"), QStringLiteral("2"), archive.size());
        const qint64 changed = spanOf(index, {"data/file004.txt"});
        // What arrived before the close (more than 1 MiB on the disk) is not asked for again.
        QVERIFY2(second > 0 && second <= changed - 1024 * 1024,
                 qPrintable(QStringLiteral("%1 of %2 asked for again").arg(second).arg(changed)));
        QVERIFY(noUpdateLeftovers(QStringLiteral("game.zip")));
    }
};

KV_WORKFLOW_TEST_MAIN(ArchiveUpdateTest)
#include "tst_archiveupdate.moc"
