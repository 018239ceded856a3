// AtomicFile::write on real files: whole replacement, refusals that keep the old file, and the
// reason each failure carries.

#include "core/atomicfile.h"
#include "support/diskfaults.h"

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>

namespace {

QByteArray contentOf(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestAtomicFile : public QObject {
    Q_OBJECT

private slots:
    void writesAndReplacesWholeFiles() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("config.ini"));
        QVERIFY(AtomicFile::write(path, QByteArray(3 << 20, 'a')).ok());
        QCOMPARE(contentOf(path), QByteArray(3 << 20, 'a'));
        // A shorter content leaves nothing of the longer one; empty data gives an empty file.
        QVERIFY(AtomicFile::write(path, "short").ok());
        QCOMPARE(contentOf(path), QByteArray("short"));
        QVERIFY(AtomicFile::write(path, QByteArray()).ok());
        QVERIFY(QFileInfo(path).exists());
        QCOMPARE(QFileInfo(path).size(), 0);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"config.ini"}));
    }

    void failuresSayWhyAndKeepWhatWasThere() {
        QTemporaryDir dir;
        // No parent folder: refused unless asked to make it.
        const QString nested = dir.filePath(QStringLiteral("a/b/file.txt"));
        const Result<AtomicFile::Error> missing = AtomicFile::write(nested, "x");
        QCOMPARE(missing.code(), AtomicFile::Error::CannotOpen);
        QVERIFY2(missing.reason().contains(nested), qPrintable(missing.reason()));
        QVERIFY(AtomicFile::write(nested, "x", true).ok());
        QCOMPARE(contentOf(nested), QByteArray("x"));

        // A folder where the file should go is not replaced, and no temporary file stays.
        const QString folder = dir.filePath(QStringLiteral("taken"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/inside")));
        const Result<AtomicFile::Error> taken = AtomicFile::write(folder, "x");
        QVERIFY(!taken.ok());
        QVERIFY2(taken.reason().contains(folder), qPrintable(taken.reason()));
        QVERIFY(QFileInfo(folder + QStringLiteral("/inside")).isDir());
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList({"a", "taken"}));

        // A file where the parent folder should be cannot be turned into one.
        const QString blocked = dir.filePath(QStringLiteral("a/b/file.txt/deeper.txt"));
        QCOMPARE(AtomicFile::write(blocked, "x", true).code(), AtomicFile::Error::CannotCreateFolder);
        QCOMPARE(contentOf(nested), QByteArray("x"));
    }

    // A full disk: the write fails with its reason and the old file stays, also when all of the data
    // would sit in Qt's write buffer (16 KiB) until the commit.
    void fullDiskKeepsTheOldFile() {
        if (!DiskFaults::unavailable().isEmpty())
            QSKIP(qPrintable(DiskFaults::unavailable()));
        QTemporaryDir tmp;
        const QString disk = tmp.filePath(QStringLiteral("disk"));
        QString why;
        // Four pages: the old file takes one, three are left.
        QVERIFY2(DiskFaults::mountSmallDisk(disk, 4 * 4096, &why), qPrintable(why));
        auto unmount = qScopeGuard([&] { DiskFaults::unmount(disk); });
        const QString path = disk + QStringLiteral("/resume.rec");
        QVERIFY(AtomicFile::write(path, "good old content").ok());

        for (const int size : {16 * 1024 - 1, 1 << 20}) {
            const Result<AtomicFile::Error> full = AtomicFile::write(path, QByteArray(size, 'n'));
            QVERIFY2(!full.ok(), qPrintable(QStringLiteral("%1 bytes written").arg(size)));
            QCOMPARE(full.code(), AtomicFile::Error::CannotWrite);
            QVERIFY2(full.reason().contains(path), qPrintable(full.reason()));
            QCOMPARE(contentOf(path), QByteArray("good old content"));
            QCOMPARE(QDir(disk).entryList(QDir::Files | QDir::Hidden), QStringList({"resume.rec"}));
        }
        QVERIFY(AtomicFile::write(path, QByteArray(8 * 1024, 'y')).ok());
        QCOMPARE(contentOf(path), QByteArray(8 * 1024, 'y'));
    }

    void resultKeepsTheReasonUnderAnotherCode() {
        enum class Outer { Fine, Broken };
        const Result<AtomicFile::Error> failed(AtomicFile::Error::CannotWrite, QStringLiteral("disk full"));
        const Result<Outer> outer = failed.as(Outer::Broken);
        QCOMPARE(int(outer.code()), int(Outer::Broken));
        QCOMPARE(outer.reason(), QStringLiteral("disk full"));
        QVERIFY(Result<AtomicFile::Error>().as(Outer::Broken).ok());
        QVERIFY(Result<AtomicFile::Error>().reason().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomicfile.moc"
