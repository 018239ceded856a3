// tools/apt-archive.sh: the archive that apt sources of either format name for a Debian suite.
#include "toolsupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace ToolSupport;

namespace {

Run archiveFor(const QString &suite, const QString &sources) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KV_APT_SOURCES", sources);
    return run("/bin/bash", {sourceDir() + "/tools/apt-archive.sh", suite}, QString(), env);
}

} // namespace

class TestAptArchive : public QObject {
    Q_OBJECT

private slots:
    void findsTheArchiveOfTheSuite();
};

void TestAptArchive::findsTheArchiveOfTheSuite() {
    QTemporaryDir tmp;
    const QString list = tmp.filePath("sources.list"), parts = tmp.filePath("sources.list.d");
    // Another repository that names the codename comes first; a disabled entry, a commented one and a
    // file apt does not read are passed over.
    QVERIFY(writeFile(list,
                      "# deb http://commented.example/debian bookworm main\n"
                      "deb [arch=amd64 signed-by=/keys/mm.gpg] https://multimedia.example bookworm main\n"
                      "deb-src [ trusted=yes ] file:/srv/mirror/debian/ bookworm main contrib # local\n"
                      "deb http://backports.example/debian bookworm-backports main\n"));
    QVERIFY(writeFile(parts + "/a.sources",
                      "Types: deb\nURIs: http://off.example/debian\nSuites: bookworm\n"
                      "Components: main\nEnabled: no\n\n"
                      "# a note\nTypes: deb deb-src\nURIs: http://cache.local:3142/debian\n"
                      "Suites: bookworm-updates\n  bookworm\nComponents: main\n"
                      "Signed-By: /keys/debian.gpg\n"));
    QVERIFY(writeFile(parts + "/b.list.disabled", "deb http://unread.example/debian bookworm main\n"));

    const QList<QPair<QStringList, QByteArray>> cases{
        {{"bookworm", list + " " + parts}, "file:/srv/mirror/debian/\t\tyes\n"},
        {{"bookworm", parts}, "http://cache.local:3142/debian\t/keys/debian.gpg\t\n"},
        {{"bookworm-backports", list}, "http://backports.example/debian\t\t\n"},
    };
    for (const auto &c : cases) {
        const Run r = archiveFor(c.first.at(0), c.first.at(1));
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(r.out, c.second);
    }
    const Run none = archiveFor("trixie", list + " " + parts);
    QCOMPARE(none.exitCode, 1);
    QVERIFY2(none.out.isEmpty() && none.err.contains("suite trixie"), none.err.constData());
}

QTEST_GUILESS_MAIN(TestAptArchive)
#include "tst_aptarchive.moc"
