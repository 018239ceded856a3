// Finished downloads are recorded in "config.ini" in batches: a staged file counts as installed
// only once its batch is on disk, a later change never loses or overtakes a batch, and closing
// records what is still staged.
#include "workflow/launcherconfig.h"

#include "support/diskfaults.h"

#include <QFile>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// What both cases stage first: an archive to extract and a plain file.
void stageArchiveAndFile(LauncherConfig &config) {
    config.stageDownloaded(QStringLiteral("res.zip"), QStringLiteral("12"), true);
    config.stageDownloaded(QStringLiteral("a.pak"), QStringLiteral("3"), false);
}

} // namespace

class LauncherConfigTest : public QObject {
    Q_OBJECT

private slots:
    void stagedDownloadsCountOnlyOnceOnDisk() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        LauncherConfig config(dir.path());
        stageArchiveAndFile(config);
        // The settings write themselves back from the event loop: staging must not reach them.
        QCoreApplication::processEvents();
        QCOMPARE(config.installedVersion(QStringLiteral("a.pak")), QString());
        QCOMPARE(LauncherConfig(dir.path()).installedNames(), QStringList());

        QVERIFY(config.recordStaged());
        QCOMPARE(config.stagedCount(), 0);
        LauncherConfig reread(dir.path());
        QCOMPARE(reread.installedVersion(QStringLiteral("res.zip")), QStringLiteral("12"));
        QCOMPARE(reread.installedVersion(QStringLiteral("a.pak")), QStringLiteral("3"));
        QCOMPARE(reread.extractionMarks(), QStringList{QStringLiteral("res.zip")});
    }

    // Revoked keys survive a restart; what a damaged or edited file holds is checked and bounded.
    void revokedKeysAreKeptBoundedAndChecked() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray a = QByteArray::fromHex("2109ace807da4c5f"),
                         b = QByteArray::fromHex("18bca49daa1c8baa");
        {
            LauncherConfig config(dir.path());
            QVERIFY(config.addRevokedKeys({a}));
            QVERIFY(config.addRevokedKeys({a, b, QByteArray("short")}));
        }
        QCOMPARE(LauncherConfig(dir.path()).revokedKeys(), (QList<QByteArray>{a, b}));
        QSettings file(dir.path() + QStringLiteral("/config.ini"), QSettings::IniFormat);
        QCOMPARE(file.value(QStringLiteral("release/revoked_keys")).toStringList(),
                 (QStringList{QStringLiteral("5F4CDA07E8AC0921"), QStringLiteral("AA8B1CAA9DA4BC18")}));

        QStringList edited{QStringLiteral("not a key"), QStringLiteral("5f4cda07e8ac0921"),
                           QStringLiteral("AA8B1CAA9DA4BC18"), QStringLiteral("AA8B1CAA9DA4BC18")};
        for (int i = 0; i < 40; ++i)
            edited << QStringLiteral("%1").arg(i, 16, 16, QLatin1Char('0')).toUpper();
        file.setValue(QStringLiteral("release/revoked_keys"), edited);
        file.sync();
        LauncherConfig config(dir.path());
        const QList<QByteArray> read = config.revokedKeys();
        QCOMPARE(read.size(), LauncherConfig::MaxRevokedKeys);
        QCOMPARE(read.first(), b);
        QVERIFY(!read.contains(a));
        // Full: a new revocation is not recorded (and the ones read stay).
        QVERIFY(config.addRevokedKeys({a}));
        QCOMPARE(LauncherConfig(dir.path()).revokedKeys(), read);
    }

    void laterChangesKeepTheBatchInOrder() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        {
            LauncherConfig config(dir.path());
            stageArchiveAndFile(config);
            // A change after the staging comes after it: the forgotten file stays forgotten, the
            // other one is on disk with the change.
            config.forget(QStringLiteral("res.zip"));
            LauncherConfig reread(dir.path());
            QCOMPARE(reread.installedNames(), QStringList{QStringLiteral("a.pak")});
            QCOMPARE(reread.extractionMarks(), QStringList());

            config.stageDownloaded(QStringLiteral("b.pak"), QStringLiteral("4"), false);
        }
        // Closing records the rest.
        QCOMPARE(LauncherConfig(dir.path()).installedVersion(QStringLiteral("b.pak")), QStringLiteral("4"));
    }

    // A batch that cannot be written on a full disk is not lost: "config.ini" keeps what it said,
    // and the batch is written once there is room.
    void fullDiskLosesNothingRecorded() {
        if (!DiskFaults::unavailable().isEmpty())
            QSKIP(qPrintable(DiskFaults::unavailable()));
        QTemporaryDir tmp;
        const QString dir = tmp.filePath(QStringLiteral("disk"));
        QString why;
        QVERIFY2(DiskFaults::mountSmallDisk(dir, 1024 * 1024, &why), qPrintable(why));
        const auto unmount = qScopeGuard([dir] { DiskFaults::unmount(dir); });
        LauncherConfig config(dir);
        config.stageDownloaded(QStringLiteral("a.pak"), QStringLiteral("3"), false);
        QVERIFY(config.recordStaged());

        const QString filler = dir + QStringLiteral("/filler");
        QVERIFY(DiskFaults::fillUp(filler));
        // Longer than any room left: the new "config.ini" cannot be written whole.
        config.stageDownloaded(QStringLiteral("b.pak"), QString(8192, QLatin1Char('4')), true);
        QVERIFY(!config.recordStaged());
        // The file on the disk is the one written before, whole.
        QFile onDisk(dir + QStringLiteral("/config.ini"));
        QVERIFY(onDisk.open(QIODevice::ReadOnly));
        const QByteArray before = onDisk.readAll();
        QVERIFY2(before.contains("a.pak=3") && !before.contains("b.pak"), before.constData());
        onDisk.close();

        QVERIFY(QFile::remove(filler));
        QVERIFY(config.recordStaged());
        QVERIFY(onDisk.open(QIODevice::ReadOnly));
        const QByteArray after = onDisk.readAll();
        QVERIFY2(after.contains("a.pak=3") && after.contains("b.pak=" + QByteArray(8192, '4')) &&
                     after.contains("[uncompressing]"),
                 after.left(300).constData());
    }
};

QTEST_GUILESS_MAIN(LauncherConfigTest)
#include "tst_launcherconfig.moc"
