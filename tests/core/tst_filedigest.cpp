// FileDigest::md5Hex on real files: digests across block boundaries, the progress callback that can
// stop the reading, and the reason each failure carries.

#include "core/filedigest.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

class TestFileDigest : public QObject {
    Q_OBJECT

private slots:
    void digestsWholeFilesInBlocks() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("big.bin"));
        QByteArray data(2 * 1024 * 1024 + 7, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i * 31 + i / 4096);
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(data) == data.size());
        f.close();

        QByteArray hex;
        qint64 reported = 0;
        int blocks = 0;
        const auto progress = [&](qint64 n) {
            reported += n;
            ++blocks;
            return true;
        };
        QVERIFY(FileDigest::md5Hex(path, &hex, progress).ok());
        QCOMPARE(hex, QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
        QCOMPARE(reported, qint64(data.size()));
        QCOMPARE(blocks, 3);

        // Stopped after the first block: no digest, and the reason says how far it got.
        const Result<FileDigest::Error> stopped =
            FileDigest::md5Hex(path, &hex, [](qint64) { return false; });
        QCOMPARE(stopped.code(), FileDigest::Error::Stopped);
        QVERIFY(hex.isEmpty());
        QVERIFY2(stopped.reason().contains(QStringLiteral("1048576 bytes")), qPrintable(stopped.reason()));

        QVERIFY(QFile(path).resize(0));
        QVERIFY(FileDigest::md5Hex(path, &hex).ok());
        QCOMPARE(hex, QByteArray("d41d8cd98f00b204e9800998ecf8427e"));
    }

    void failuresSayWhy() {
        QTemporaryDir dir;
        QByteArray hex = "stale";
        const QString missing = dir.filePath(QStringLiteral("missing.bin"));
        const Result<FileDigest::Error> gone = FileDigest::md5Hex(missing, &hex);
        QCOMPARE(gone.code(), FileDigest::Error::CannotOpen);
        QVERIFY(gone.reason().contains(missing));
        QVERIFY(hex.isEmpty());

        // A folder opens on some systems but cannot be read: never the digest of nothing.
        const Result<FileDigest::Error> folder = FileDigest::md5Hex(dir.path(), &hex);
        QVERIFY(!folder.ok());
        QVERIFY(folder.reason().contains(dir.path()));
        QVERIFY(hex.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFileDigest)
#include "tst_filedigest.moc"
