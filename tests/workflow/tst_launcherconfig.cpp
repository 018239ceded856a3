// Finished downloads are recorded in "config.ini" in batches: a staged file counts as installed
// only once its batch is on disk, a later change never loses or overtakes a batch, and closing
// records what is still staged.
#include "workflow/launcherconfig.h"

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
};

QTEST_GUILESS_MAIN(LauncherConfigTest)
#include "tst_launcherconfig.moc"
