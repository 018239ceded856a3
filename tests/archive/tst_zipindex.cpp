// The entry index of a zip archive: made from real archives (the zip library's writer, Zip64,
// archives of other writers with data descriptors), read back, and refused when any field leaves its
// bounds.
#include "archive/zipindexmaker.h"
#include "patch/zipindex.h"
#include "support/testdigest.h"
#include "support/testfiles.h"
#include "support/zipwriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <functional>
#include <sodium.h>

namespace {

using TestDigest::blake2b;

quint32 le32(const QByteArray &bytes, qint64 at) {
    return at + 4 <= bytes.size() ? qFromLittleEndian<quint32>(bytes.constData() + at) : 0;
}

} // namespace

class TestZipIndex : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    // Indexes `bytes` written to a file, then reads the index back as a launcher would.
    bool indexOf(const QByteArray &bytes, ZipIndex *out, ZipIndex::Error *code = nullptr) {
        const QString path = dir.filePath(QStringLiteral("a.zip"));
        if (!TestFiles::writeFile(path, bytes))
            return false;
        const Result<ZipIndex::Error> made = ZipIndexMaker::make(path, out);
        if (code)
            *code = made.code();
        if (!made.ok())
            return false;
        const QByteArray written = out->toBytes();
        ZipIndex read;
        const Result<ZipIndex::Error> parsed =
            ZipIndex::parse(written, bytes.size(), ZipIndex::digestHex(written), &read);
        if (!parsed.ok()) {
            qWarning() << parsed.reason();
            return false;
        }
        return read.toBytes() == written;
    }

    // Each entry's span holds exactly its local header and data (and descriptor): it begins with a
    // local header and ends where the next record begins (another entry's, maybe a folder's, or the
    // central directory's), which runs up to the end records.
    static void checkSpans(const ZipIndex &index, const QByteArray &archive) {
        qint64 at = 0;
        for (const ZipIndex::Entry &e : index.entries()) {
            QVERIFY(e.headerOffset >= at);
            QCOMPARE(le32(archive, e.headerOffset), 0x04034b50u);
            at = e.end();
            const quint32 next = le32(archive, at);
            QVERIFY2(next == 0x04034b50u || next == 0x02014b50u, qPrintable(e.name));
        }
        QVERIFY(at <= index.directoryOffset());
        if (index.directorySize() > 0)
            QCOMPARE(le32(archive, index.directoryOffset()), 0x02014b50u);
        const quint32 next = le32(archive, index.directoryOffset() + index.directorySize());
        QVERIFY(next == 0x06054b50u || next == 0x06064b50u);
    }

private slots:
    void initTestCase() { QVERIFY(sodium_init() >= 0 && dir.isValid()); }

    void indexesEveryKindOfEntry_data() {
        QTest::addColumn<bool>("zip64");
        QTest::newRow("plain") << false;
        QTest::newRow("zip64") << true;
    }
    void indexesEveryKindOfEntry() {
        QFETCH(bool, zip64);
        QList<ZipEntry> entries;
        entries.append(ZipEntry{"data/", QByteArray()});
        entries.append(ZipEntry{"data/level1.dat", TestFiles::randomBytes(300000, 3)});
        entries.append(ZipEntry{"data/empty.txt", QByteArray()});
        ZipEntry stored{"Quelvane.exe", TestFiles::randomBytes(70000, 4)};
        stored.stored = true;
        entries.append(stored);
        entries.append(ZipEntry{"texts/\xc3\xa9t\xc3\xa9.txt", QByteArray("summer ").repeated(5000)});
        for (ZipEntry &e : entries)
            e.zip64 = zip64;
        const QString path = dir.filePath(QStringLiteral("made.zip"));
        QVERIFY(writeZip(path, entries));
        const QByteArray archive = TestFiles::readFile(path);

        ZipIndex index;
        QVERIFY(indexOf(archive, &index));
        QCOMPARE(index.archiveSize(), qint64(archive.size()));
        QCOMPARE(index.entries().size(), 4); // the folder is not listed
        qint64 unpacked = 0;
        for (int i = 0; i < 4; ++i) {
            const ZipIndex::Entry &e = index.entries().at(i);
            const ZipEntry &source = entries.at(i + 1);
            QCOMPARE(e.name, QString::fromUtf8(source.name));
            QCOMPARE(e.size, qint64(source.data.size()));
            QCOMPARE(e.hash, blake2b(source.data));
            QCOMPARE(e.method, source.stored ? ZipIndex::Stored : ZipIndex::Deflated);
            unpacked += e.size;
        }
        QCOMPARE(index.unpackedSize(), unpacked);
        checkSpans(index, archive);
    }

    // Other writers: streamed entries with data descriptors (bsdtar, Info-ZIP), Python's zipfile.
    void indexesArchivesOfOtherWriters_data() {
        QTest::addColumn<QString>("name");
        for (const char *name : {"seed-bsdtar-dot.zip", "seed-infozip.zip", "seed-infozip-zip64.zip",
                                 "seed-python-deflated.zip", "seed-python-zip64.zip"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }
    void indexesArchivesOfOtherWriters() {
        QFETCH(QString, name);
        const QString path = qEnvironmentVariable("KESTRIVANE_SOURCE_DIR") +
                             QStringLiteral("/tests/fuzz/corpus/archive/") + name;
        const QByteArray archive = TestFiles::readFile(path);
        QVERIFY2(!archive.isEmpty(), qPrintable(path));
        ZipIndex index;
        QVERIFY(indexOf(archive, &index));
        checkSpans(index, archive);
    }

    void archivesItCannotIndex() {
        ZipIndex index;
        ZipIndex::Error code = ZipIndex::Error::None;
        QVERIFY(!indexOf("not a zip archive at all", &index, &code));
        QCOMPARE(code, ZipIndex::Error::CannotRead);
        ZipEntry locked{"secret.txt", "hidden"};
        locked.password = "pw";
        QVERIFY(!indexOf(zipBytes({locked}), &index, &code));
        QCOMPARE(code, ZipIndex::Error::Unsupported);
    }

    // A valid index changed in one field at a time: each is refused with a reason, never read.
    void refusesIndexesOutsideTheBounds() {
        QList<ZipEntry> entries{{"a.txt", QByteArray("a").repeated(5000)}, {"b/b.txt", QByteArray("bb")}};
        const QByteArray archive = zipBytes(entries);
        ZipIndex good;
        QVERIFY(indexOf(archive, &good));
        const qint64 size = archive.size();

        auto refused = [&](const QByteArray &bytes, qint64 archiveSize = -1) {
            ZipIndex out;
            const Result<ZipIndex::Error> r = ZipIndex::parse(bytes, archiveSize < 0 ? size : archiveSize,
                                                              ZipIndex::digestHex(bytes), &out);
            return !r.ok() && !r.reason().isEmpty() && out.entries().isEmpty();
        };
        auto changed = [&](const std::function<void(QVector<ZipIndex::Entry> &)> &change) {
            QVector<ZipIndex::Entry> list = good.entries();
            change(list);
            ZipIndex other;
            other.setArchive(good.archiveSize(), good.directoryOffset(), good.directorySize());
            for (const ZipIndex::Entry &e : list)
                other.append(e);
            return other.toBytes();
        };
        const QByteArray bytes = good.toBytes();
        {
            ZipIndex out;
            QCOMPARE(ZipIndex::parse(bytes, size, QString(64, QLatin1Char('0')), &out).code(),
                     ZipIndex::Error::DigestMismatch);
        }
        QVERIFY(refused(bytes, size + 1));              // another archive
        QVERIFY(refused(bytes + '\0'));                 // a byte after the last entry
        QVERIFY(refused(bytes.left(bytes.size() - 1))); // cut short
        QByteArray reserved = bytes;
        reserved[6] = 1;
        QVERIFY(refused(reserved));
        uchar most[4];
        qToLittleEndian<quint32>(ZipIndex::MaxEntryCount, most);
        QVERIFY(refused(
            QByteArray(bytes).replace(ZipIndex::HeaderSize - 4, 4, reinterpret_cast<const char *>(most), 4)));
        QVERIFY(refused(changed([](auto &l) { l[1].headerOffset = l[0].headerOffset + 10; }))); // overlap
        QVERIFY(refused(changed([&](auto &l) { l[1].span = good.directoryOffset(); }))); // past the directory
        QVERIFY(
            refused(changed([](auto &l) { l[0].span = ZipIndex::LocalHeaderSize; }))); // no room for its data
        QVERIFY(refused(changed([](auto &l) { l[1].name = QStringLiteral("../b.txt"); }))); // climbs out
        QVERIFY(refused(changed([](auto &l) { l[1].name = QStringLiteral("A.TXT"); })));    // the same file
        QVERIFY(refused(changed([](auto &l) { l[1].name = QStringLiteral("b/"); })));       // a folder
        QVERIFY(refused(changed([](auto &l) { l[1].method = 12; })));
        QVERIFY(refused(changed([](auto &l) {
            l[1].method = ZipIndex::Stored;
            l[1].size = l[1].compressedSize + 1;
        })));
        QVERIFY(refused(changed([](auto &l) { l[0].size = ZipIndex::MaxUnpackedSize; })));
        // An index past the size limit is refused before its digest is even computed.
        QVERIFY(refused(QByteArray(int(ZipIndex::MaxIndexSize) + 1, 'K')));
    }
};

QTEST_GUILESS_MAIN(TestZipIndex)
#include "tst_zipindex.moc"
