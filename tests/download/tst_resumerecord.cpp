// The resume record on its own: received ranges that are not whole pieces, and the record file of
// two slots that is updated in place and survives a torn write.
#include "download/downloadtaskpiece.h"
#include "download/resumerecord.h"
#include "support/diskfaults.h"
#include "support/testfiles.h"
#include "trust/versiontable.h"

#include <QFile>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 Piece = DownloadTaskPiece::PieceSize;

RemoteFileInfo listedFile(qint64 size) {
    RemoteFileInfo e;
    e.name = QStringLiteral("res.pak");
    e.version = QStringLiteral("3");
    e.md5 = QStringLiteral("0123456789abcdef0123456789abcdef");
    e.size = size;
    return e;
}

ResumeRecord recordOf(const RemoteFileInfo &e) {
    return ResumeRecord(e.name, e.version, e.size, e.md5);
}

QString rangesText(const QVector<ResumeRecord::Range> &ranges) {
    QStringList out;
    for (const ResumeRecord::Range &r : ranges)
        out << QStringLiteral("%1+%2").arg(r.offset).arg(r.length);
    return out.join(QLatin1Char(' '));
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestResumeRecord : public QObject {
    Q_OBJECT

private slots:
    // Bytes of pieces cut short are kept as ranges: only the rest of each piece is missing, ranges
    // that meet merge, and one that completes a piece makes the piece whole.
    void receivedRangesLeaveOnlyTheRestMissing() {
        const qint64 size = 3 * Piece - 100;
        ResumeRecord r = recordOf(listedFile(size));
        r.setPresent(0, 1000);
        r.setPresent(Piece + 500, 300); // a range that began inside a piece
        r.setComplete(2);
        QCOMPARE(rangesText(r.missingRanges()), QStringLiteral("1000+%1 %2+500 %3+%4")
                                                    .arg(Piece - 1000)
                                                    .arg(Piece)
                                                    .arg(Piece + 800)
                                                    .arg(Piece - 800));
        QCOMPARE(r.completeBytes(), 1000 + 300 + (size - 2 * Piece));

        // Touching ranges merge; the one that fills piece 0 makes it complete.
        r.setPresent(1000, 2000);
        QCOMPARE(r.extents().size(), 2);
        r.setPresent(3000, Piece - 3000);
        QVERIFY(r.isComplete(0));
        QCOMPARE(r.completeCount(), 2);

        // Through the text and back: the same state.
        ResumeRecord back;
        QVERIFY(ResumeRecord::fromBytes(r.toBytes(), &back).ok());
        QCOMPARE(rangesText(back.missingRanges()), rangesText(r.missingRanges()));
        QCOMPARE(back.completeBytes(), r.completeBytes());
    }

    // Ranges a record claims are checked like everything else in it.
    void unusableRangesAreRefused_data() {
        QTest::addColumn<QString>("ranges");
        QTest::newRow("past the end") << QStringLiteral("0-%1").arg(2 * Piece + 1);
        QTest::newRow("empty") << QStringLiteral("10-10");
        QTest::newRow("negative") << QStringLiteral("-5-10");
        QTest::newRow("not numbers") << QStringLiteral("a-b");
        QStringList many;
        for (int i = 0; i <= ResumeRecord::MaxExtents; ++i)
            many << QStringLiteral("%1-%2").arg(i * 10).arg(i * 10 + 5);
        QTest::newRow("too many") << many.join(QLatin1Char(','));
    }

    void unusableRangesAreRefused() {
        QFETCH(QString, ranges);
        const ResumeRecord r = recordOf(listedFile(2 * Piece));
        QByteArray text = r.toBytes().trimmed();
        text.chop(1);
        text += ",\"ranges\":\"" + ranges.toLatin1() + "\"}";
        ResumeRecord out;
        const auto parsed = ResumeRecord::fromBytes(text, &out);
        QVERIFY(!parsed.ok());
        QCOMPARE(parsed.code(), ResumeRecord::Error::Unreadable);
    }

    // The record file keeps its size across saves; a save torn half-way leaves the state before
    // it; a record of the older form (the text alone) is still read, and the next save turns it
    // into slots.
    void recordFileIsUpdatedInPlaceAndSurvivesATornSave() {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("res.pak"));
        const RemoteFileInfo e = listedFile(4 * Piece);
        QVERIFY(writeFile(ResumeRecord::partialPath(target), QByteArray(int(2 * Piece), 'p')));

        ResumeRecord r = recordOf(e);
        QVERIFY(r.save(target).ok());
        const qint64 fileSize = QFileInfo(ResumeRecord::recordPath(target)).size();
        QCOMPARE(fileSize, 2 * qint64(r.slotSize()));
        r.setComplete(0);
        QVERIFY(r.save(target).ok());
        r.setPresent(Piece, 4096);
        QVERIFY(r.save(target).ok());
        QCOMPARE(QFileInfo(ResumeRecord::recordPath(target)).size(), fileSize);
        QVERIFY(ResumeRecord::strayRecordCopies(target).isEmpty());

        ResumeRecord loaded;
        QVERIFY(ResumeRecord::load(target, e, &loaded).ok());
        QCOMPARE(loaded.completeBytes(), Piece + 4096);

        // Going on from the loaded state writes over the older slot, never the newest.
        loaded.setPresent(Piece + 4096, 4096);
        QVERIFY(loaded.save(target).ok());
        QVERIFY(ResumeRecord::load(target, e, &loaded).ok());
        QCOMPARE(loaded.completeBytes(), Piece + 8192);

        // A power cut half-way through the next save: the slot it wrote is torn.
        QByteArray bytes = readFile(ResumeRecord::recordPath(target));
        loaded.setComplete(1);
        const QByteArray payload = loaded.toBytes();
        const QByteArray next = ResumeRecord::slot(99, payload, loaded.slotSize());
        const int torn = ResumeRecord::SlotHeaderSize + payload.size() / 2;
        // Into the older slot: the newest was written by the save before.
        bytes.replace(0, torn, next.left(torn));
        QVERIFY(writeFile(ResumeRecord::recordPath(target), bytes));
        ResumeRecord afterCut;
        QVERIFY(ResumeRecord::load(target, e, &afterCut).ok());
        QCOMPARE(afterCut.completeBytes(), Piece + 8192);

        // Both slots damaged: nothing in it can be trusted.
        bytes.replace(loaded.slotSize() + 40, 4, "XXXX");
        QVERIFY(writeFile(ResumeRecord::recordPath(target), bytes));
        QCOMPARE(ResumeRecord::load(target, e, &afterCut).code(), ResumeRecord::Error::Unreadable);

        // The older form.
        ResumeRecord old = recordOf(e);
        old.setComplete(1);
        QVERIFY(writeFile(ResumeRecord::recordPath(target), old.toBytes()));
        ResumeRecord fromOld;
        QVERIFY(ResumeRecord::load(target, e, &fromOld).ok());
        QVERIFY(fromOld.isComplete(1));
        QVERIFY(fromOld.save(target).ok());
        QCOMPARE(QFileInfo(ResumeRecord::recordPath(target)).size(), 2 * qint64(fromOld.slotSize()));
        QVERIFY(ResumeRecord::load(target, e, &fromOld).ok());
        QVERIFY(fromOld.isComplete(1));
    }

    // Once made, the record takes every update on a disk with no byte left.
    void recordIsUpdatedOnAFullDisk() {
        if (!DiskFaults::unavailable().isEmpty())
            QSKIP(qPrintable(DiskFaults::unavailable()));
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("disk"));
        QString why;
        QVERIFY2(DiskFaults::mountSmallDisk(folder, 4 * 1024 * 1024, &why), qPrintable(why));
        const auto unmount = qScopeGuard([folder] { DiskFaults::unmount(folder); });
        const QString target = folder + QStringLiteral("/res.pak");
        const RemoteFileInfo e = listedFile(64 * Piece);
        QVERIFY(writeFile(ResumeRecord::partialPath(target), QByteArray(100000, 'p')));
        ResumeRecord r = recordOf(e);
        QVERIFY(r.save(target).ok());

        // Another program takes every byte left.
        QVERIFY(DiskFaults::fillUp(folder + QStringLiteral("/filler")));
        QVERIFY(QStorageInfo(folder).bytesAvailable() < 4096);

        r.setPresent(0, 100000);
        const auto saved = r.save(target);
        QVERIFY2(saved.ok(), qPrintable(saved.reason()));
        ResumeRecord loaded;
        QVERIFY(ResumeRecord::load(target, e, &loaded).ok());
        QCOMPARE(loaded.completeBytes(), qint64(100000));
    }
};

QTEST_GUILESS_MAIN(TestResumeRecord)
#include "tst_resumerecord.moc"
