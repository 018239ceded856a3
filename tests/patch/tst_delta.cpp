// Block maps, the matcher and the reused-block writer, through real files: every case rebuilds the
// new file from the old copy plus the requested ranges and compares it with the new file.
#include "patch/blockmap.h"
#include "patch/blockmatcher.h"
#include "patch/deltawriter.h"
#include "support/testfiles.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int Block = 4096; // what the rule gives files below 64 MiB
constexpr qint64 MiB = 1024 * 1024;

} // namespace

class TestDelta : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString path(const QString &name) const { return dir.filePath(name); }
    // The digest of the untampered map of refusedMaps.
    QString good() const { return goodDigest; }
    QString goodDigest;

    // The map of bytes as the publisher makes it, read back as the launcher does.
    BlockMap mapOf(const QByteArray &bytes) {
        TestFiles::writeFile(path("new"), bytes);
        QByteArray map;
        const Result<BlockMap::Error> made = BlockMap::make(path("new"), &map);
        if (!made.ok())
            qFatal("%s", qPrintable(made.reason()));
        BlockMap parsed;
        const Result<BlockMap::Error> read =
            BlockMap::parse(map, bytes.size(), BlockMap::digestHex(map), &parsed);
        if (!read.ok())
            qFatal("%s", qPrintable(read.reason()));
        return parsed;
    }

    // Checks the requests' shape, then fills them from the new bytes into the partial file.
    void fetchInto(const QString &partialPath, const DeltaPlan &plan, const QByteArray &newBytes) {
        QFile partial(partialPath);
        QVERIFY(partial.open(QIODevice::ReadWrite));
        qint64 sum = 0, end = 0;
        for (const DeltaPlan::Range &r : plan.requests) {
            QVERIFY(r.offset >= end && r.length > 0);
            QCOMPARE(r.offset / DeltaPlan::MaxRequestBytes,
                     (r.offset + r.length - 1) / DeltaPlan::MaxRequestBytes);
            end = r.offset + r.length;
            sum += r.length;
            QVERIFY(partial.seek(r.offset));
            QCOMPARE(partial.write(newBytes.mid(int(r.offset), int(r.length))), r.length);
        }
        QCOMPARE(sum, plan.requestBytes);
        QCOMPARE(plan.reusedBytes + plan.requestBytes, qint64(newBytes.size()));
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void blockSizeRule_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("block");
        QTest::newRow("empty") << qint64(0) << 4096;
        QTest::newRow("4 MiB") << 4 * MiB << 4096;
        QTest::newRow("1 GiB") << 1024 * MiB << 16384;
        QTest::newRow("just over 1 GiB") << 1036 * MiB << 16384;
        QTest::newRow("4 GiB") << 4096 * MiB << 32768;
        QTest::newRow("1 TiB") << (qint64(1) << 40) << 1024 * 1024;
    }
    void blockSizeRule() {
        QFETCH(qint64, size);
        QFETCH(int, block);
        QCOMPARE(BlockMap::blockSizeFor(size), block);
        QVERIFY((size + block - 1) / block <= BlockMap::MaxBlockCount);
    }

    // rdiff -b 4096 -S 8 signature writes these bytes for the same file: the map is rdiff's format.
    void sameBytesAsRdiff() {
        QByteArray data(20000, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char((i * 7 + (i >> 9) * 13) & 0xff);
        TestFiles::writeFile(path("golden"), data);
        QByteArray map;
        QVERIFY(BlockMap::make(path("golden"), &map).ok());
        QCOMPARE(map.toHex(),
                 QByteArray("7273014700001000000000087e8ac801ea37fc802a71a59d5351c801500ef8774d7dbf5adf"
                            "b8c801a0182019636acce52c77c8019e036e811ac147b2bb56a0b1eda0471c88c67f53"));
        QCOMPARE(BlockMap::digestHex(map),
                 QStringLiteral("2295153f51b607617eaa904d854a386128688bf88f233142076f7192b95ed005"));
    }

    // A map is checked against the listed digest before anything of it is read, then against the
    // listed size and the bounds.
    void refusedMaps_data() {
        QTest::addColumn<QByteArray>("map");
        QTest::addColumn<qint64>("fileSize");
        QTest::addColumn<bool>("tampered");
        QByteArray good;
        TestFiles::writeFile(path("small"), TestFiles::patternBytes(10000));
        QVERIFY(BlockMap::make(path("small"), &good).ok());
        goodDigest = BlockMap::digestHex(good);
        auto withHeader = [&](quint32 magic, quint32 block, quint32 strong) {
            QByteArray m = good;
            qToBigEndian(magic, m.data());
            qToBigEndian(block, m.data() + 4);
            qToBigEndian(strong, m.data() + 8);
            return m;
        };
        QTest::newRow("tampered") << QByteArray(good).replace(20, 1, "x") << qint64(10000) << true;
        QTest::newRow("tampered, listed empty") << good << qint64(10000) << true;
        QTest::newRow("other size") << good << qint64(20000) << false;
        QTest::newRow("truncated") << good.left(good.size() - 1) << qint64(10000) << false;
        QTest::newRow("header only") << good.left(12) << qint64(10000) << false;
        QTest::newRow("too short") << good.left(5) << qint64(10000) << false;
        QTest::newRow("md4 kind") << withHeader(0x72730136, 4096, 8) << qint64(10000) << false;
        QTest::newRow("block not a power of two")
            << withHeader(BlockMap::Magic, 4000, 8) << qint64(10000) << false;
        QTest::newRow("block too large")
            << withHeader(BlockMap::Magic, 1u << 31, 8) << qint64(10000) << false;
        QTest::newRow("strong too short") << withHeader(BlockMap::Magic, 4096, 4) << qint64(10000) << false;
        QTest::newRow("too many blocks")
            << withHeader(BlockMap::Magic, 1024, 8) << (qint64(1) << 40) << false;
        QTest::newRow("negative size") << good << qint64(-1) << false;
        QTest::newRow("largest size") << good << std::numeric_limits<qint64>::max() << false;
    }
    void refusedMaps() {
        QFETCH(QByteArray, map);
        QFETCH(qint64, fileSize);
        QFETCH(bool, tampered);
        BlockMap out;
        QString listed = BlockMap::digestHex(map);
        if (tampered)
            listed = QByteArray(QTest::currentDataTag()).contains("empty") ? QString() : good();
        const Result<BlockMap::Error> r = BlockMap::parse(map, fileSize, listed, &out);
        QCOMPARE(r.code(), tampered ? BlockMap::Error::DigestMismatch : BlockMap::Error::Malformed);
        QVERIFY(!r.reason().isEmpty());
        QCOMPARE(out.blockCount(), 0);
    }

    // The new file is rebuilt from the old copy's blocks and the requested ranges in every case.
    void rebuild_data() {
        QTest::addColumn<QByteArray>("oldBytes");
        QTest::addColumn<QByteArray>("newBytes");
        QTest::addColumn<qint64>("fetched");
        const QByteArray base = TestFiles::patternBytes(256 * 1024, 3);
        const QByteArray inserted = TestFiles::randomBytes(1000, 9);
        const QByteArray piece = base.mid(8 * Block, Block);
        QTest::newRow("identical") << base << base << qint64(0);
        QTest::newRow("damaged old copy")
            << QByteArray(base).replace(3 * Block + 10, 6, "damage") << base << qint64(Block);
        // Every block after the edit moved by 1000 bytes; only the block holding the edit is fetched.
        QTest::newRow("insertion") << base << QByteArray(base).insert(50000, inserted) << qint64(Block);
        QTest::newRow("deletion") << base << QByteArray(base).remove(50000, 1000) << qint64(Block);
        // 64 KiB from byte 70000 moved to the front: found at their odd old offsets; one block straddles
        // the seam.
        QTest::newRow("moved") << base << base.mid(70000, 65536) + base.left(70000) + base.mid(135536)
                               << qint64(Block);
        QTest::newRow("repeated") << base << piece + piece + base + piece << qint64(0);
        QTest::newRow("shorter than a block") << base << base.left(3000) << qint64(0);
        QTest::newRow("last block grown") << base << base + inserted << qint64(1000);
        QTest::newRow("empty new file") << base << QByteArray() << qint64(0);
        QTest::newRow("empty old file") << QByteArray() << base << qint64(base.size());
        // Requests merge adjacent blocks and stop at each 4 MiB piece: 4 + 4 + 1 MiB and 5 bytes.
        QTest::newRow("all changed") << base << TestFiles::patternBytes(9 * MiB + 5, 4) << 9 * MiB + 5;
    }
    void rebuild() {
        QFETCH(QByteArray, oldBytes);
        QFETCH(QByteArray, newBytes);
        QFETCH(qint64, fetched);
        const BlockMap map = mapOf(newBytes);
        TestFiles::writeFile(path("old"), oldBytes);
        QFile::remove(path("partial"));

        BlockMatcher matcher(map);
        DeltaPlan plan;
        DeltaWriter writer;
        QVERIFY(writer.open(path("partial"), newBytes.size()).ok());
        QVERIFY(matcher.match(path("old"), &plan, {}, &writer).ok());
        QCOMPARE(plan.requestBytes, fetched);
        QCOMPARE(writer.writtenBytes(), plan.reusedBytes);
        fetchInto(path("partial"), plan, newBytes);
        QCOMPARE(TestFiles::readFile(path("partial")), newBytes);
        if (QByteArray(QTest::currentDataTag()) == "all changed")
            QCOMPARE(plan.requests.size(), 3);
    }

    // A missing old copy or a partial file that cannot be written: a failure with its reason.
    void failures() {
        const QByteArray bytes = TestFiles::patternBytes(100 * 1024, 5);
        const BlockMap map = mapOf(bytes);
        TestFiles::writeFile(path("old"), bytes);
        DeltaPlan plan;
        BlockMatcher missing(map);
        const Result<BlockMatcher::Error> unread = missing.match(path("no such file"), &plan);
        QCOMPARE(unread.code(), BlockMatcher::Error::CannotRead);
        QVERIFY(unread.reason().contains(QLatin1String("no such file")));

        QVERIFY(QDir().mkpath(path("folder")));
        DeltaWriter writer;
        QCOMPARE(writer.open(path("folder"), bytes.size()).code(), DeltaWriter::Error::CannotWrite);
        BlockMatcher unwritable(map);
        const Result<BlockMatcher::Error> unwritten = unwritable.match(path("old"), &plan, {}, &writer);
        QCOMPARE(unwritten.code(), BlockMatcher::Error::CannotWrite);
        QVERIFY(unwritten.reason().contains(path("folder")));
        QVERIFY(plan.reused.isEmpty());
    }

    // Cancelled from its progress report (as the window would from its thread), the scan stops at the
    // next chunk and leaves an empty plan.
    void cancelDuringScan() {
        const QByteArray newBytes = TestFiles::patternBytes(20 * MiB, 6);
        const BlockMap map = mapOf(newBytes);
        TestFiles::writeFile(path("old"), newBytes);
        BlockMatcher matcher(map);
        DeltaPlan plan;
        QList<qint64> reports;
        const Result<BlockMatcher::Error> r =
            matcher.match(path("old"), &plan, [&](qint64 scanned, qint64 total) {
                reports << scanned;
                QCOMPARE(total, qint64(newBytes.size()));
                matcher.cancel();
            });
        QCOMPARE(r.code(), BlockMatcher::Error::Cancelled);
        QCOMPARE(reports.size(), 1);
        QVERIFY(plan.reused.isEmpty() && plan.requests.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestDelta)
#include "tst_delta.moc"
