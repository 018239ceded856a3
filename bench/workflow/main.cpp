// Runs the launcher's workflow without a window, as a first start does (version file, game files,
// each recorded as installed in config.ini), and prints the time from the first game-file request
// until the game may start, with CPU time and peak memory. The clock starts as the download does,
// as another download tool's run starts with its first file: the wait before the version file, the
// version file and its check are no part of it.
// Usage: bench_workflow <folder> <cdn base url> <event log url>
// The game files come from the build's CDN: set KESTRIVANE_TEST_CDN_BASE_URL to the same URL.
// Prints "wall_s cpu_s rss_mib files"; exit status 0 only when the workflow reached Ready.

#include "platform/platform.h"
#include "support/benchmain.h"
#include "support/processusage.h"
#include "trust/versiontable.h"
#include "workflow/launcherconfig.h"
#include "workflow/launcherworkflow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv) {
    // As the launcher's main does.
    Platform::tuneHeap();
    QCoreApplication app(argc, argv);
    if (!BenchMain::hasArguments(argc, 3, "bench_workflow <folder> <cdn base url> <event log url>"))
        return 2;
    BenchMain::quietMessages();

    WorkflowSetup setup;
    setup.folder = QString::fromLocal8Bit(argv[1]);
    setup.cdnBaseUrl = QString::fromLocal8Bit(argv[2]);
    setup.logUrl = QUrl(QString::fromLocal8Bit(argv[3]));
    setup.crashUploadUrl = setup.logUrl;
    setup.versionFile = QStringLiteral("version3.txt");
    setup.launcherVersion = QStringLiteral("0.11");
    setup.gamePageMs = 0; // the window's fade is not part of the download

    QElapsedTimer clock;
    QNetworkAccessManager network;
    LauncherWorkflow flow(setup, &network);
    const double cpuBefore = ProcessUsage::cpuSeconds();
    int exitCode = 1;
    QObject::connect(&flow, &LauncherWorkflow::gamePageDue, &flow, &LauncherWorkflow::beginGameResources);
    QObject::connect(&flow, &LauncherWorkflow::phaseChanged, &app, [&](LauncherWorkflow::Phase phase) {
        // The first pieces are asked for as the phase begins.
        if (phase == LauncherWorkflow::Downloading && !clock.isValid())
            clock.start();
        if (phase != LauncherWorkflow::Ready && phase != LauncherWorkflow::Failed &&
            phase != LauncherWorkflow::AwaitingResume)
            return;
        const double wall = double(clock.nsecsElapsed()) / 1e9;
        const int files = LauncherConfig(setup.folder).installedNames().size();
        std::printf("%.3f %.3f %.1f %d\n", wall, ProcessUsage::cpuSeconds() - cpuBefore,
                    ProcessUsage::peakRssMiB(), files);
        std::fflush(stdout);
        if (phase != LauncherWorkflow::Ready)
            std::fprintf(stderr, "the workflow did not reach Ready (phase %d)\n", int(phase));
        exitCode = phase == LauncherWorkflow::Ready ? 0 : 1;
        app.quit();
    });
    QTimer::singleShot(0, &flow, &LauncherWorkflow::start);
    app.exec();
    VersionTable::release();
    return exitCode;
}
