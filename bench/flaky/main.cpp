// A CDN under load: the same 40 MiB release, sent at 1 MB/s per connection, installed by the
// launcher's workflow (without a window) from a healthy host and from one that answers 30 % of the
// requests, drawn at random, with 503. Prints both install times for the seeds given (1 to 10 by
// default; the seed draws the failures) and the worst ratio, whose target is at most 1.5.
// Usage: bench_flaky [first seed] [last seed]
// The server runs in this process on a port picked at start (the program runs itself again with the
// build's CDN pointed at it).

#include "platform/platform.h"
#include "support/benchmain.h"
#include "support/httpserver.h"
#include "support/testfiles.h"
#include "trust/versiontable.h"
#include "workflow/launcherconfig.h"
#include "workflow/launcherworkflow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

constexpr qint64 ReleaseBytes = 40 * 1024 * 1024;
const QByteArray Cdn = "/sea/win_update/";

QByteArray versionLine(const QString &name, const QByteArray &data) {
    return QStringLiteral("%1:1:%2:%3\n").arg(name, TestFiles::md5Hex(data)).arg(data.size()).toUtf8();
}

// Seconds from the first game-file request until the files are recorded as installed; -1 on failure.
double install(HttpServer *server, int failPercent, quint32 seed) {
    HttpServer::Faults faults;
    faults.bytesPerSecond = 1000 * 1000;
    faults.failPercent = failPercent;
    faults.failStatus = 503;
    faults.failSeed = seed;
    server->setFaults(Cdn + "v1_game.pak", faults);

    QTemporaryDir folder;
    VersionTable::release();
    WorkflowSetup setup;
    setup.folder = folder.path();
    setup.cdnBaseUrl = server->url(QString::fromLatin1(Cdn));
    setup.logUrl = QUrl(server->url(QStringLiteral("/log")));
    setup.crashUploadUrl = setup.logUrl;
    setup.versionFile = QStringLiteral("version3.txt");
    setup.launcherVersion = QStringLiteral("0.11");
    setup.gamePageMs = 0;
    setup.versionRetryMs = 0;
    QNetworkAccessManager network;
    LauncherWorkflow flow(setup, &network);
    QElapsedTimer clock;
    double seconds = -1;
    QEventLoop loop;
    QObject::connect(&flow, &LauncherWorkflow::gamePageDue, &flow, &LauncherWorkflow::beginGameResources);
    QObject::connect(&flow, &LauncherWorkflow::phaseChanged, &loop, [&](LauncherWorkflow::Phase phase) {
        if (phase == LauncherWorkflow::Downloading && !clock.isValid())
            clock.start();
        if (phase == LauncherWorkflow::Ready && clock.isValid())
            seconds = double(clock.nsecsElapsed()) / 1e9;
        if (phase == LauncherWorkflow::Ready || phase == LauncherWorkflow::Failed ||
            phase == LauncherWorkflow::AwaitingResume)
            loop.quit();
    });
    QTimer::singleShot(0, &flow, &LauncherWorkflow::start);
    loop.exec();
    VersionTable::release();
    return seconds;
}

} // namespace

int main(int argc, char **argv) {
    const int parent = HttpServer::runChildWithPort(
        argc, argv, {{"KESTRIVANE_TEST_CDN_BASE_URL", "http://127.0.0.1:%1/sea/win_update/"}});
    if (parent >= 0)
        return parent;
    Platform::tuneHeap();
    QCoreApplication app(argc, argv);
    BenchMain::quietMessages();
    const int first = argc > 1 ? QByteArray(argv[1]).toInt() : 1;
    const int last = argc > 2 ? QByteArray(argv[2]).toInt() : 10;

    HttpServer server;
    if (!server.listenOnAssignedPort())
        return HttpServer::PortTakenExitCode;
    const QByteArray game = TestFiles::randomBytes(int(ReleaseBytes), 41);
    server.setFile(Cdn + "v1_game.pak", game);
    server.setFile(
        Cdn + "version3.txt",
        versionLine(QStringLiteral("Kestrivane.exe"), QByteArray(1000, 'L')).replace(":1:", ":0.11:") +
            versionLine(QStringLiteral("game.pak"), game));

    double worst = 0;
    for (int seed = first; seed <= last; ++seed) {
        const double healthy = install(&server, 0, quint32(seed));
        const double flaky = install(&server, 30, quint32(seed));
        if (healthy <= 0 || flaky <= 0) {
            std::fprintf(stderr, "seed %d: the install failed\n", seed);
            return 1;
        }
        const double ratio = flaky / healthy;
        worst = qMax(worst, ratio);
        std::printf("seed %d: healthy %.2f s, 30 %% 5xx %.2f s, ratio %.2f\n", seed, healthy, flaky, ratio);
        std::fflush(stdout);
    }
    std::printf("flaky_host_vs_healthy_worst: %.2f x (target <= 1.5)\n", worst);
    return 0;
}
