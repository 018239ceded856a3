// The sample release script: a published, consistent and repeatable CDN folder.
#include "toolsupport.h"

#include "trust/versiontable.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace ToolSupport;

class TestSampleRelease : public QObject {
    Q_OBJECT

private slots:
    void makesAPublishedRelease();
};

void TestSampleRelease::makesAPublishedRelease() {
    if (QStandardPaths::findExecutable("zip").isEmpty())
        QSKIP("zip is not installed");
    QTemporaryDir tmp;
    const QString script = sourceDir() + "/tools/make-sample-release.sh";
    Run r = run(script, {tmp.filePath("out"), binaryDir()}, QString(),
                QProcessEnvironment::systemEnvironment(), 240000);
    QVERIFY2(r.exitCode == 0, r.err.constData());

    const QString cdn = tmp.filePath("out/cdn");
    const QByteArray text = readFile(cdn + "/version3.txt");
    QMap<QString, RemoteFileInfo> entries;
    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        RemoteFileInfo info;
        QVERIFY(VersionTable::parseLine(QString::fromUtf8(line), &info));
        entries.insert(info.name, info);
    }
    QCOMPARE(entries.keys(),
             (QStringList{"Kestrivane.exe", "assets.zip", "data.zip", "game.zip", "readme.txt"}));
    QCOMPARE(entries.value("Kestrivane.exe").version, QStringLiteral("0.11"));
    for (const RemoteFileInfo &info : entries) {
        if (info.name != QLatin1String("Kestrivane.exe"))
            QCOMPARE(info.version, QStringLiteral("1"));
        const QByteArray data = readFile(cdn + QStringLiteral("/v%1_%2").arg(info.version, info.name));
        QCOMPARE(data.size(), info.size);
        QCOMPARE(TestFiles::md5Hex(data), info.md5);
    }
    // At least one archive spans more than one 4 MiB download piece.
    QVERIFY(entries.value("assets.zip").size > 4 * 1024 * 1024);

    if (!QStandardPaths::findExecutable("unzip").isEmpty()) {
        for (const char *zip : {"game.zip", "assets.zip", "data.zip"})
            QCOMPARE(run("unzip", {"-tq", tmp.filePath(QStringLiteral("out/release/") + zip)}).exitCode, 0);
        // The game binary keeps its executable bit inside the archive.
        const Run listing = run("unzip", {"-Z", tmp.filePath("out/release/game.zip"), "Quelvane.exe"});
        QVERIFY2(listing.out.startsWith("-rwxr-xr-x"), listing.out.constData());
    }

    // Seeded: a second run gives the same archives.
    r = run(script, {tmp.filePath("again"), binaryDir()}, QString(), QProcessEnvironment::systemEnvironment(),
            240000);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    for (const char *name : {"v1_game.zip", "v1_assets.zip", "v1_data.zip", "v1_readme.txt"})
        QCOMPARE(readFile(tmp.filePath(QStringLiteral("again/cdn/") + name)), readFile(cdn + "/" + name));
}

QTEST_GUILESS_MAIN(TestSampleRelease)
#include "tst_samplerelease.moc"
