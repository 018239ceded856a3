// A game file of 3 GiB published with kv-publish, fetched by the workflow from a CDN on 127.0.0.1 and
// installed: sizes and offsets past 2^31, end to end. Needs about 7 GiB of free disk in the temporary
// folder (the release file is sparse, the CDN copy and the install are not).
#include "support/workflowfixture.h"
#include "tools/toolsupport.h"
#include "workflow/installcheck.h"

using namespace WorkflowTest;

namespace {
constexpr qint64 HugeSize = Q_INT64_C(3) << 30;
}

class LargeReleaseTest : public WorkflowFixture {
    Q_OBJECT

private slots:
    void threeGiBFileIsPublishedDownloadedAndInstalled() {
        const QString rel = root->path() + QStringLiteral("/release");
        const QString cdn = root->path() + QStringLiteral("/cdn");
        QVERIFY(writeFile(rel + QStringLiteral("/Kestrivane.exe"), QByteArray(LauncherEntrySize, 'L')));
        {
            // Sparse, with distinct bytes where a wrong 32-bit offset would land them elsewhere:
            // at the start, across 2^31, in the first piece past it, and at the very end.
            QFile huge(rel + QStringLiteral("/huge.pak"));
            QVERIFY(huge.open(QIODevice::WriteOnly));
            QVERIFY(huge.resize(HugeSize));
            quint32 seed = 1;
            for (const qint64 at : {Q_INT64_C(0), (Q_INT64_C(1) << 31) - 2048, (Q_INT64_C(1) << 31) + 4194304,
                                    HugeSize - 4096}) {
                QVERIFY(huge.seek(at));
                QCOMPARE(huge.write(randomBytes(4096, seed++)), qint64(4096));
            }
        }

        const ToolSupport::Run published =
            ToolSupport::run(ToolSupport::tool(QStringLiteral("kv-publish")),
                             {QStringLiteral("--cdn"), cdn, QStringLiteral("--release"), rel,
                              QStringLiteral("Kestrivane.exe=0.11"), QStringLiteral("huge.pak=1")},
                             QString(), QProcessEnvironment::systemEnvironment(), 600000);
        QVERIFY2(published.finished && published.exitCode == 0, published.err.constData());
        QMap<QString, RemoteFileInfo> listed;
        QVERIFY(VersionTable::parseFile(readFile(cdn + QStringLiteral("/version3.txt")), &listed));
        const RemoteFileInfo entry = listed.value(QStringLiteral("huge.pak"));
        QCOMPARE(entry.size, HugeSize);
        // The listed digest is the release file's own.
        InstallCheck::File source;
        source.name = QStringLiteral("huge.pak");
        source.path = rel + QStringLiteral("/huge.pak");
        source.size = HugeSize;
        source.md5 = entry.md5;
        QCOMPARE(InstallCheck::hashCheck(source).damage, QString());

        server->removeFile(VersionPath);
        server->serveDirectory(CdnPrefix, cdn);
        makeWorkflow();
        STEP(waitForReady(900000));
        QCOMPARE(flow->resources()->totalBytes(), HugeSize);
        QCOMPARE(configValue(QStringLiteral("version/huge.pak")), QStringLiteral("1"));
        InstallCheck::File installed = source;
        installed.path = dir + QStringLiteral("/huge.pak");
        QCOMPARE(InstallCheck::hashCheck(installed).damage, QString());
    }
};

KV_WORKFLOW_TEST_MAIN(LargeReleaseTest)
#include "tst_largerelease.moc"
