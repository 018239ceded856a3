// Sizes of the version file: 64-bit, bounded, and read back as written.
#include "trust/versiontable.h"

#include <QtTest>

class TestVersionTable : public QObject {
    Q_OBJECT

private slots:
    void sizeField_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<qint64>("size");
        QTest::newRow("3 GiB") << "3221225472" << true << Q_INT64_C(3221225472);
        QTest::newRow("plus sign") << "+7" << true << qint64(7);
        QTest::newRow("the limit") << "1099511627776" << true << VersionTable::MaxListedFileSize;
        QTest::newRow("past the limit") << "1099511627777" << false << qint64(0);
        QTest::newRow("past 64 bits") << "99999999999999999999999" << false << qint64(0);
        QTest::newRow("negative") << "-5" << true << qint64(0);
        QTest::newRow("negative past 64 bits") << "-99999999999999999999999" << true << qint64(0);
        QTest::newRow("padded") << " 5" << true << qint64(0);
        QTest::newRow("not a number") << "12ab" << true << qint64(0);
        QTest::newRow("sign only") << "-" << true << qint64(0);
    }
    void sizeField() {
        QFETCH(QString, field);
        QFETCH(bool, accepted);
        QFETCH(qint64, size);
        RemoteFileInfo info;
        QCOMPARE(VersionTable::parseLine(QStringLiteral("big.pak:1:00:") + field, &info), accepted);
        if (accepted)
            QCOMPARE(info.size, size);

        // A refused line stops the file there: the records before it stay, none after it is taken.
        QMap<QString, RemoteFileInfo> table;
        QString refused;
        const QByteArray file = "a.pak:1:00:1\nbig.pak:1:00:" + field.toUtf8() + "\nz.pak:1:00:2\n";
        QCOMPARE(VersionTable::parseFile(file, &table, &refused), accepted);
        QCOMPARE(table.contains(QStringLiteral("z.pak")), accepted);
        QVERIFY(table.contains(QStringLiteral("a.pak")));
    }

    // The fifth field is a block map's digest; launchers that know no maps read the first four
    // fields, so anything else there (or after it) leaves the line as it was.
    void mapDigestField_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("digest");
        const QString digest = QString(64, QLatin1Char('a')).replace(7, 1, QLatin1Char('7'));
        QTest::newRow("none") << "big.pak:2:00:77" << QString();
        QTest::newRow("digest") << "big.pak:2:00:77:" + digest << digest;
        QTest::newRow("digest, CR LF") << "big.pak:2:00:77:" + digest + "\r" << digest;
        QTest::newRow("digest, more fields") << "big.pak:2:00:77:" + digest + ":later" << digest;
        QTest::newRow("upper case") << "big.pak:2:00:77:" + digest.toUpper() << QString();
        QTest::newRow("short") << "big.pak:2:00:77:" + digest.left(63) << QString();
        QTest::newRow("other field") << "big.pak:2:00:77:something" << QString();
        QTest::newRow("empty") << "big.pak:2:00:77:" << QString();
    }
    void mapDigestField() {
        QFETCH(QString, line);
        QFETCH(QString, digest);
        QMap<QString, RemoteFileInfo> table;
        QVERIFY(VersionTable::parseFile(line.toUtf8() + "\n", &table));
        const RemoteFileInfo r = table.value(QStringLiteral("big.pak"));
        QCOMPARE(r.size, qint64(77));
        QCOMPARE(r.mapDigest, digest);
        // Written back with its digest, and read back the same.
        QCOMPARE(QString::fromUtf8(VersionTable::format({r})),
                 "big.pak:2:00:77" + (digest.isEmpty() ? QString() : ":" + digest) + "\n");
    }

    void largeSizesRoundTrip() {
        RemoteFileInfo r;
        r.name = QStringLiteral("huge.pak");
        r.version = QStringLiteral("2");
        r.md5 = QStringLiteral("0123456789abcdef0123456789abcdef");
        r.size = Q_INT64_C(5000000000);
        QMap<QString, RemoteFileInfo> table;
        QVERIFY(VersionTable::parseFile(VersionTable::format({r}), &table));
        QCOMPARE(table.value(r.name).size, r.size);
    }
};

QTEST_GUILESS_MAIN(TestVersionTable)
#include "tst_versiontable.moc"
