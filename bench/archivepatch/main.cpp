// The archive-patch benchmark's launcher side.
//
//   bench_archive_patch run <folder> <cdn base url> <event log url> <version file>
//     Runs the launcher's workflow without a window until the game may start: a first install
//     unpacks the archive whole, a later run against a newer version file patches it. Prints its
//     wall time from the start (the version file included), the time to the first download and to
//     the extraction, the longest stall of a 10 ms timer on the workflow's thread (the launcher's GUI
//     thread) and the process's peak memory. Set KESTRIVANE_TEST_CDN_BASE_URL to the same base URL.
//   bench_archive_patch decide <folder> <archive> <index file>
//     Times ArchivePatchPlan::decide for the index against the installed folder, on this thread:
//     with the folder's record of the archive, then with none (every file the index names hashed,
//     after one untimed pass that brings the files into the page cache).
// Figures are printed one per line, "name: value unit".

#include "archive/archivepatchplan.h"
#include "archive/extractedfiles.h"
#include "patch/zipindex.h"
#include "platform/platform.h"
#include "support/benchmain.h"
#include "support/processusage.h"
#include "trust/versiontable.h"
#include "workflow/launcherworkflow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTimer>
#include <QtEndian>

#include <cstdio>
#include <sodium.h>

namespace {

int fail(const QString &what) {
    std::fprintf(stderr, "%s\n", qPrintable(what));
    return 1;
}

int run(QCoreApplication &app, char **argv) {
    WorkflowSetup setup;
    setup.folder = QString::fromLocal8Bit(argv[2]);
    setup.cdnBaseUrl = QString::fromLocal8Bit(argv[3]);
    setup.logUrl = QUrl(QString::fromLocal8Bit(argv[4]));
    setup.crashUploadUrl = setup.logUrl;
    setup.versionFile = QString::fromLocal8Bit(argv[5]);
    setup.launcherVersion = QStringLiteral("0.11");
    setup.versionRetryMs = 0; // the pause before the version file is no part of the update
    setup.gamePageMs = 0;     // nor is the window's fade

    QNetworkAccessManager network;
    LauncherWorkflow flow(setup, &network);
    QElapsedTimer clock;
    qint64 downloadingNs = -1, extractingNs = -1;

    // The GUI thread's part: the worst lateness of a 10 ms timer over the whole run.
    qint64 stallMax = 0, stallAt = 0, lastTick = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastTick && now - lastTick - 10 * 1000 * 1000 > stallMax) {
            stallMax = now - lastTick - 10 * 1000 * 1000;
            stallAt = lastTick;
        }
        lastTick = now;
    });

    int exitCode = 1;
    QObject::connect(&flow, &LauncherWorkflow::gamePageDue, &flow, &LauncherWorkflow::beginGameResources);
    QObject::connect(&flow, &LauncherWorkflow::phaseChanged, &app, [&](LauncherWorkflow::Phase phase) {
        if (phase == LauncherWorkflow::Downloading && downloadingNs < 0)
            downloadingNs = clock.nsecsElapsed();
        if (phase == LauncherWorkflow::Extracting && extractingNs < 0)
            extractingNs = clock.nsecsElapsed();
        if (phase != LauncherWorkflow::Ready && phase != LauncherWorkflow::Failed &&
            phase != LauncherWorkflow::AwaitingResume)
            return;
        const qint64 wall = clock.nsecsElapsed();
        tick.stop();
        std::printf("wall: %.3f s\n", double(wall) / 1e9);
        if (downloadingNs >= 0)
            std::printf("until_download: %.3f s\n", double(downloadingNs) / 1e9);
        if (extractingNs >= 0)
            std::printf("until_extraction: %.3f s\n", double(extractingNs) / 1e9);
        // Where the worst stall began says which part of the run held the thread.
        std::printf("gui_stall_max: %.1f ms (from %.3f s)\npeak_rss: %.1f MiB\n", double(stallMax) / 1e6,
                    double(stallAt) / 1e9, ProcessUsage::peakRssMiB());
        std::fflush(stdout);
        if (phase != LauncherWorkflow::Ready)
            std::fprintf(stderr, "the workflow did not reach Ready (phase %d)\n", int(phase));
        exitCode = phase == LauncherWorkflow::Ready ? 0 : 1;
        app.quit();
    });
    QTimer::singleShot(0, &flow, [&] {
        clock.start();
        tick.start();
        flow.start();
    });
    app.exec();
    return exitCode;
}

// BLAKE2b-256 over 256 MiB in memory, in the 1 MiB blocks the file digest reads: MiB per CPU second
// of this thread.
double hashSpeed() {
    if (sodium_init() < 0)
        return 0;
    const qint64 total = 256 * 1048576, block = 1048576;
    QByteArray data(int(total), '\0');
    for (qint64 i = 0; i < total; ++i)
        data[int(i)] = char((quint64(i) * 2654435761u) >> 13);
    unsigned char out[32];
    crypto_generichash_state state;
    const double before = ProcessUsage::threadCpuSeconds();
    crypto_generichash_init(&state, nullptr, 0, sizeof out);
    for (qint64 at = 0; at < total; at += block)
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(data.constData() + at),
                                  block);
    crypto_generichash_final(&state, out, sizeof out);
    return double(total) / 1048576.0 / (ProcessUsage::threadCpuSeconds() - before);
}

int decide(char **argv) {
    const QString folder = QString::fromLocal8Bit(argv[2]);
    const QString archive = QString::fromLocal8Bit(argv[3]);
    QFile file(QString::fromLocal8Bit(argv[4]));
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1").arg(file.fileName()));
    const QByteArray bytes = file.readAll();
    // The archive's size is the index's own; parse checks every other bound against it.
    ZipIndex index;
    const QString digest = ZipIndex::digestHex(bytes);
    qint64 archiveSize = 0;
    if (bytes.size() >= 16)
        archiveSize = qFromLittleEndian<qint64>(bytes.constData() + 8);
    const Result<ZipIndex::Error> parsed = ZipIndex::parse(bytes, archiveSize, digest, &index);
    if (!parsed.ok())
        return fail(parsed.reason());
    ExtractedFiles record;
    const Result<ExtractedFiles::Error> loaded =
        ExtractedFiles::load(ExtractedFiles::recordPath(folder, archive), &record);
    if (!loaded.ok())
        return fail(loaded.reason());

    // Wall time; the thread's CPU time of the last call stays in `cpu` (on a shared machine the
    // wall time also counts the waits for a core).
    double cpu = 0;
    const auto timed = [&](const ExtractedFiles &with, ArchivePatchPlan *plan) -> double {
        QElapsedTimer clock;
        const double cpuBefore = ProcessUsage::threadCpuSeconds();
        clock.start();
        const Result<ArchivePatchPlan::Error> decided =
            ArchivePatchPlan::decide(index, digest, with, folder, {}, plan);
        const double s = double(clock.nsecsElapsed()) / 1e9;
        cpu = ProcessUsage::threadCpuSeconds() - cpuBefore;
        if (!decided.ok()) {
            fail(decided.reason());
            return -1;
        }
        return s;
    };
    const auto counts = [](const ArchivePatchPlan &plan) {
        return QStringLiteral("%1 kept, %2 copied, %3 fetched")
            .arg(plan.kept().entries)
            .arg(plan.copied().entries)
            .arg(plan.fetched().entries);
    };

    // Every file the index names that is installed is read by a decision without a record.
    qint64 hashed = 0;
    for (const ZipIndex::Entry &e : index.entries()) {
        const QFileInfo info(folder + QLatin1Char('/') + e.name);
        if (info.isFile())
            hashed += info.size();
    }
    ArchivePatchPlan plan;
    if (timed(ExtractedFiles(), &plan) < 0) // brings the files into the page cache
        return 1;
    const double withRecord = timed(record, &plan);
    if (withRecord < 0)
        return 1;
    std::printf("decide_with_record: %.3f s (%d entries; %s)\n", withRecord, int(index.entries().size()),
                qPrintable(counts(plan)));
    const double fullHash = timed(ExtractedFiles(), &plan);
    if (fullHash < 0)
        return 1;
    std::printf("decide_full_hash: %.3f s (%.1f MiB hashed; %s)\n", fullHash, double(hashed) / 1048576.0,
                qPrintable(counts(plan)));
    std::printf("full_hash_speed: %.1f MiB/s (%.1f MiB per CPU second)\n",
                double(hashed) / 1048576.0 / fullHash, double(hashed) / 1048576.0 / cpu);
    std::printf("blake2b_in_memory: %.1f MiB per CPU second (the hash alone, the ceiling)\n", hashSpeed());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    // As the launcher's main does.
    Platform::tuneHeap();
    QCoreApplication app(argc, argv);
    const char *usage = "bench_archive_patch run <folder> <cdn base url> <event log url> <version file>\n"
                        "       bench_archive_patch decide <folder> <archive> <index file>";
    if (!BenchMain::hasArguments(argc, 1, usage))
        return 2;
    // The launcher's own account of the plan stays in the log ("archive patched" is not a debug line).
    BenchMain::quietMessages(QStringLiteral("decided what to keep"));
    const QByteArray mode = argv[1];
    int code = 2;
    if (mode == "run" && BenchMain::hasArguments(argc, 5, usage))
        code = run(app, argv);
    else if (mode == "decide" && BenchMain::hasArguments(argc, 4, usage))
        code = decide(argv);
    else if (mode != "run" && mode != "decide")
        std::fprintf(stderr, "usage: %s\n", usage);
    VersionTable::release();
    return code;
}
