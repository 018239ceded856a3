// An archive patch of more entries than a plain end record counts: the small archive made of the
// fetched spans must end with the Zip64 records, or the extraction sees a fraction of it.
#include "archive/archivepatcher.h"
#include "archive/archivepatchplan.h"
#include "archive/zipindexmaker.h"
#include "support/testfiles.h"
#include "support/zipwriter.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace TestFiles;

class TestArchivePatchLarge : public QObject {
    Q_OBJECT

private slots:
    void assemblesAZip64DirectoryForManyEntries() {
        QTemporaryDir tmp;
        const QString folder = tmp.filePath("game");
        QVERIFY(QDir().mkpath(folder));
        QList<ZipEntry> entries;
        const int count = 0xffff + 3;
        for (int i = 0; i < count; ++i) {
            ZipEntry e{QByteArray("d") + QByteArray::number(i % 64) + "/f" + QByteArray::number(i),
                       QByteArray::number(i)};
            e.stored = true;
            entries.append(e);
        }
        const QString path = tmp.filePath("many.zip");
        ZipIndex index;
        QVERIFY(writeZip(path, entries) && ZipIndexMaker::make(path, &index).ok());
        // Nothing installed yet: every entry is fetched, as one span.
        ArchivePatchPlan plan;
        QVERIFY(ArchivePatchPlan::decide(index, ZipIndex::digestHex(index.toBytes()), ExtractedFiles(),
                                         folder, {}, &plan)
                    .ok());
        QCOMPARE(plan.fetched().entries, count);
        QCOMPARE(plan.spans().size(), 1);
        const QString fetched = tmp.filePath("many.fetched");
        QVERIFY(writeFile(fetched, readFile(path).left(int(plan.fetchBytes()))));

        std::vector<InstalledEntry> installed;
        const Result<ExtractError> applied = ArchivePatcher::apply(folder, index, plan, fetched, &installed);
        QVERIFY2(applied.ok(), qPrintable(applied.reason()));
        QCOMPARE(int(installed.size()), count);
        QCOMPARE(readFile(folder + "/d1/f65537"), QByteArray("65537"));
        const QByteArray tail = readFile(fetched).right(22 + 20);
        QCOMPARE(qFromLittleEndian<quint32>(tail.constData()), 0x07064b50u); // the Zip64 locator
        QCOMPARE(qFromLittleEndian<quint16>(tail.constData() + 20 + 10), quint16(0xffff));
    }
};

QTEST_GUILESS_MAIN(TestArchivePatchLarge)
#include "tst_archivepatchlarge.moc"
