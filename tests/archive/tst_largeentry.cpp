// An entry past 4 GiB (mostly zeros, a few MiB compressed) in a zip64 archive written by Python.
// Writes more than 4 GiB: labelled "large" so that a run can leave it out (ctest -LE large).
#include "archive/unziparchive.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const qint64 GiB = qint64(1) << 30;
const qint64 bigSize = 4 * GiB + 3 * 1024 * 1024 + 7;
// Marks at the start, across the 4 GiB boundary and at the end, so a shifted or cut copy shows.
const QList<QPair<qint64, QByteArray>> marks = {{0, "HEAD"}, {4 * GiB - 2, "EDGE"}, {bigSize - 4, "TAIL"}};

QByteArray readAt(const QString &path, qint64 at, int size) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(at))
        return QByteArray("<unreadable>");
    return file.read(size);
}

} // namespace

class TestLargeEntry : public QObject {
    Q_OBJECT

private slots:
    void extractsEntryPastFourGiB() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const qint64 needed = bigSize + GiB / 2;
        const QStorageInfo storage(tmp.path());
        // Unknown (-1, as inside a chroot whose root is no mount point): the run goes ahead.
        if (storage.bytesAvailable() >= 0 && storage.bytesAvailable() < needed)
            QSKIP(qPrintable(QStringLiteral("needs %1 MiB free in %2, only %3 MiB there")
                                 .arg(needed >> 20)
                                 .arg(tmp.path())
                                 .arg(storage.bytesAvailable() >> 20)));
        const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (python.isEmpty())
            QSKIP("python3 is not installed (Debian package python3)");

        const QString zipPath = tmp.filePath(QStringLiteral("big.zip"));
        const char *script =
            "import sys, zipfile\n"
            "size = int(sys.argv[2])\n"
            "marks = {0: b'HEAD', 4 * 2**30 - 2: b'EDGE', size - 4: b'TAIL'}\n"
            "zero = bytes(1 << 22)\n"
            "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED, compresslevel=1) as z:\n"
            "    with z.open('big/huge.bin', 'w', force_zip64=True) as f:\n"
            "        pos = 0\n"
            "        for at in sorted(marks):\n"
            "            while pos < at:\n"
            "                n = min(len(zero), at - pos)\n"
            "                f.write(zero[:n])\n"
            "                pos += n\n"
            "            f.write(marks[at])\n"
            "            pos += 4\n"
            "    z.writestr('after.txt', b'after the big one')\n";
        QProcess writer;
        writer.start(python,
                     {QStringLiteral("-c"), QString::fromLatin1(script), zipPath, QString::number(bigSize)});
        QVERIFY(writer.waitForFinished(600000));
        QVERIFY2(writer.exitCode() == 0, writer.readAllStandardError().constData());

        const QString target = tmp.filePath(QStringLiteral("target"));
        QVERIFY(QDir().mkpath(target));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(unzipArchive(zipPath, target));
        qInfo("unpacked %lld bytes from a %lld-byte archive in %lld ms", bigSize, QFileInfo(zipPath).size(),
              clock.elapsed());

        const QString big = target + QStringLiteral("/big/huge.bin");
        QCOMPARE(QFileInfo(big).size(), bigSize);
        for (const auto &mark : marks)
            QCOMPARE(readAt(big, mark.first, 4), mark.second);
        QCOMPARE(readAt(big, 4 * GiB + 2, 8), QByteArray(8, '\0'));
        QCOMPARE(readAt(target + QStringLiteral("/after.txt"), 0, 100), QByteArray("after the big one"));
        QCOMPARE(QDir(target + QStringLiteral("/big")).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("huge.bin")});
    }
};

QTEST_GUILESS_MAIN(TestLargeEntry)
#include "tst_largeentry.moc"
