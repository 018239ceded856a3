#pragma once

// The workflow without a window, against the release fixture's server (the build constants point
// at it through the environment: the test's main() is KV_WORKFLOW_TEST_MAIN), with delays of a few
// milliseconds instead of the product's. What a window would show is read from the workflow's
// signals: the last status of every line, the bars and the phases it went through.

#include "support/releasefixture.h"
#include "workflow/archiveextraction.h"
#include "workflow/gameresourceupdate.h"
#include "workflow/launcherworkflow.h"
#include "workflow/progresstext.h"
#include "workflow/selfupdate.h"
#include "workflow/versioncheck.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>

namespace WorkflowTest {

using namespace ReleaseTest;

inline QStringList argTexts(const WorkflowStatus &status) {
    QStringList texts;
    for (const LabelArg &a : status.args)
        texts << a.toText();
    return texts;
}

} // namespace WorkflowTest

class WorkflowFixture : public ReleaseFixture {
    Q_OBJECT

public:
    using Phase = LauncherWorkflow::Phase;

    QNetworkAccessManager *nam = nullptr;
    LauncherWorkflow *flow = nullptr;
    QList<Phase> phases;
    QMap<WorkflowStatus::Line, WorkflowStatus> lines; // the last status of each line
    QMap<WorkflowStatus::Bar, float> bars;
    int gamePages = 0;
    bool handedOver = false;
    bool shownAgain = false;
    bool closing = false;

    // The product's setup on the test's server and folder, with short delays.
    WorkflowSetup fastSetup() const {
        WorkflowSetup s;
        s.folder = dir;
        s.cdnBaseUrl = server->url(QString::fromLatin1(ReleaseTest::CdnPrefix));
        s.versionFile = QStringLiteral("version3.txt");
        s.launcherVersion = QStringLiteral("0.11");
        s.logUrl = QUrl(server->url(QString::fromLatin1(ReleaseTest::LogPath)));
        s.crashUploadUrl = QUrl(server->url(QString::fromLatin1(ReleaseTest::CrashPath)));
        s.versionRetryMs = 20;
        s.signatureRetryMs = 20;
        s.gamePageMs = 0;
        s.speedTickMs = 100;
        s.verifyRefreshMs = 20;
        s.gameExitMs = 10;
        s.closeAfterGameMs = 10;
        // The next release is looked for once a test published one; the others count every request.
        s.preloadDelayMs = comingPublished ? 0 : -1;
        return s;
    }

    // Started like the window starts it (unless `start` is false); the game page follows the
    // check at once (no fade).
    LauncherWorkflow *makeWorkflow(const WorkflowSetup &setup, bool verify = false, bool start = true) {
        flow = new LauncherWorkflow(setup, nam, this);
        flow->setVerifyInstalledFiles(verify);
        connect(flow, &LauncherWorkflow::phaseChanged, this, [this](Phase p) { phases << p; });
        connect(flow, &LauncherWorkflow::status, this,
                [this](WorkflowStatus::Line l, const WorkflowStatus &s) { lines[l] = s; });
        connect(flow, &LauncherWorkflow::progress, this,
                [this](WorkflowStatus::Bar b, float p) { bars[b] = p; });
        connect(flow, &LauncherWorkflow::gamePageDue, this, [this]() {
            ++gamePages;
            flow->beginGameResources();
        });
        connect(flow, &LauncherWorkflow::restartDue, this, [this]() { handedOver = true; });
        connect(flow, &LauncherWorkflow::showRequested, this, [this]() { shownAgain = true; });
        connect(flow, &LauncherWorkflow::closeRequested, this, [this]() { closing = true; });
        if (start)
            flow->start();
        return flow;
    }
    LauncherWorkflow *makeWorkflow(bool verify = false) { return makeWorkflow(fastSetup(), verify); }

    void closeWorkflow() {
        waitForLogPosts(nam);
        delete flow;
        flow = nullptr;
        phases.clear();
        lines.clear();
        bars.clear();
        gamePages = 0;
        handedOver = shownAgain = closing = false;
        VersionTable::release();
    }

    // A line as the player reads it now.
    QString shown(WorkflowStatus::Line line) const {
        const WorkflowStatus s = lines.value(line);
        if (s.key.isEmpty())
            return QString();
        return substituteArgs(s.keyIsTranslated ? Translation::instance()->tr(s.key) : s.key, s.args);
    }
    QString key(WorkflowStatus::Line line) const { return lines.value(line).key; }
    QStringList args(WorkflowStatus::Line line) const { return WorkflowTest::argTexts(lines.value(line)); }

    // Installs the release into the launcher directory; the server's request log starts afresh.
    void installRelease(bool verify = false) {
        makeWorkflow(verify);
        STEP(waitForReady());
        closeWorkflow();
        server->clearRequests();
    }

    // The update ends with the game ready and "UPDATE_FINISHED" shown.
    void waitForReady(int timeoutMs = 30000) {
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::Ready, timeoutMs);
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("UPDATE_FINISHED"));
    }

protected slots:
    void initTestCase() {
        QVERIFY(startServer());
        nam = new QNetworkAccessManager(this);
    }
    void init() { setUpDirs(); }
    void cleanup() {
        server->release();
        closeWorkflow();
        tearDownDirs();
    }
};

// main() of the workflow tests: QCoreApplication, build constants on the server's port.
#define KV_WORKFLOW_TEST_MAIN(TestClass)                                                                     \
    KV_HTTP_TEST_MAIN(QCoreApplication, TestClass, HttpServer::launcherVariables())
