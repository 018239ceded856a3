// The release-day benchmark's launcher side.
//
//   bench_predownload key <secret key file>
//     Writes a fresh password-less key pair in minisign's format (a throwaway key for one run) to
//     the file and prints its public key line.
//   bench_predownload run <folder> <cdn base url> <event log url> [predownload]
//     Runs the launcher's workflow without a window until the game may start: an install, or the
//     update of a release day. Prints its wall time from the start (the version file and its
//     signature included), the time spent unpacking archives (phase Extracting) and the rest, the
//     process's CPU time (all threads) in all and until the unpacking, the longest stall of a 10 ms
//     timer on the workflow's thread (the launcher's GUI thread) until then and the peak memory.
//     With "predownload" the game page then stays until the coming release's pre-download is
//     complete, and its time, bytes and rate are printed too.
// Releases are verified with the key in KESTRIVANE_TEST_RELEASE_PUBLIC_KEY; set
// KESTRIVANE_TEST_CDN_BASE_URL to the same base URL. Figures are printed one per line,
// "name: value unit".

#include "platform/platform.h"
#include "support/benchmain.h"
#include "support/processusage.h"
#include "trust/minisignsecretkey.h"
#include "trust/versiontable.h"
#include "workflow/launcherworkflow.h"
#include "workflow/predownload.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QSaveFile>
#include <QTimer>

#include <cstdio>
#include <sodium.h>

namespace {

int fail(const QString &what) {
    std::fprintf(stderr, "%s\n", qPrintable(what));
    return 1;
}

// The layout MinisignSecretKey reads: algorithm "Ed", no key derivation, checksum "B2", an unused
// salt and limits, then key id, secret key and the BLAKE2b-256 checksum of algorithm, id and key.
int makeKey(const QString &path) {
    if (sodium_init() < 0)
        return fail(QStringLiteral("the cryptography library failed to start"));
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray secret(crypto_sign_SECRETKEYBYTES, '\0');
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                        reinterpret_cast<unsigned char *>(secret.data()));
    QByteArray keyId(8, '\0');
    randombytes_buf(keyId.data(), size_t(keyId.size()));
    QByteArray checksum(32, '\0');
    const QByteArray summed = QByteArray("Ed") + keyId + secret;
    crypto_generichash(reinterpret_cast<unsigned char *>(checksum.data()), size_t(checksum.size()),
                       reinterpret_cast<const unsigned char *>(summed.constData()), size_t(summed.size()),
                       nullptr, 0);
    const QByteArray raw = QByteArray("Ed") + QByteArray(2, '\0') + QByteArray("B2") +
                           QByteArray(32 + 8 + 8, '\0') + keyId + secret + checksum;
    const QByteArray text = "untrusted comment: throwaway benchmark key\n" + raw.toBase64() + "\n";
    sodium_memzero(secret.data(), size_t(secret.size()));
    const MinisignSecretKey key = MinisignSecretKey::parse(text);
    if (!key.isValid())
        return fail(QStringLiteral("the key made does not read back: %1").arg(key.error()));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    std::printf("%s\n", key.publicKey().toBase64().constData());
    return 0;
}

int run(QCoreApplication &app, int argc, char **argv) {
    WorkflowSetup setup;
    setup.folder = QString::fromLocal8Bit(argv[2]);
    setup.cdnBaseUrl = QString::fromLocal8Bit(argv[3]);
    setup.logUrl = QUrl(QString::fromLocal8Bit(argv[4]));
    setup.crashUploadUrl = setup.logUrl;
    setup.versionFile = QStringLiteral("version3.txt");
    setup.launcherVersion = QStringLiteral("0.11");
    setup.releasePublicKey = qEnvironmentVariable("KESTRIVANE_TEST_RELEASE_PUBLIC_KEY");
    setup.versionRetryMs = 0; // the pause before the version file is no part of the update
    setup.gamePageMs = 0;     // nor is the window's fade
    const bool waitForPreDownload = argc > 5 && QByteArray(argv[5]) == "predownload";
    if (setup.releasePublicKey.isEmpty())
        return fail(QStringLiteral("KESTRIVANE_TEST_RELEASE_PUBLIC_KEY is not set"));

    QNetworkAccessManager network;
    LauncherWorkflow flow(setup, &network);
    QElapsedTimer clock;
    qint64 downloadingNs = -1, extractingNs = -1, readyNs = -1;
    // CPU seconds of the whole process (every thread), from the start and until the extraction.
    double cpuStart = 0, cpuUntilExtraction = -1;

    // The GUI thread's part: the worst lateness of a 10 ms timer, until the game may start and,
    // apart, during the pre-download.
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
    const auto stallLine = [&](const char *name) {
        // Where the worst stall began says which part of the run held the thread.
        std::printf("%s: %.1f ms (from %.3f s)\n", name, double(stallMax) / 1e6, double(stallAt) / 1e9);
        stallMax = stallAt = 0;
    };

    int exitCode = 1;
    const auto finish = [&](int code) {
        tick.stop();
        std::printf("peak_rss: %.1f MiB\n", ProcessUsage::peakRssMiB());
        std::fflush(stdout);
        exitCode = code;
        app.quit();
    };
    PreDownload *pre = flow.preDownload();
    QObject::connect(pre, &PreDownload::changed, &app, [&] {
        if (!waitForPreDownload || readyNs < 0 || exitCode == 0 || !tick.isActive())
            return;
        if (pre->state() == PreDownload::Complete) {
            const double s = double(clock.nsecsElapsed() - readyNs) / 1e9;
            std::printf("predownload_wall: %.3f s\npredownload_bytes: %lld bytes\n", s,
                        static_cast<long long>(pre->totalBytes()));
            std::printf("predownload_rate: %.1f MiB/s\n", double(pre->totalBytes()) / 1048576.0 / s);
            stallLine("predownload_gui_stall_max");
            finish(0);
        } else if (pre->state() == PreDownload::ShortOfRoom) {
            std::fprintf(stderr, "the pre-download lacks room on the disk\n");
            finish(1);
        }
    });
    // A pre-download that fails waits for its next check: say so rather than wait.
    QObject::connect(pre, &PreDownload::ended, &app, [&] {
        if (waitForPreDownload && pre->state() != PreDownload::Complete && tick.isActive()) {
            std::fprintf(stderr, "the pre-download failed (state %d)\n", int(pre->state()));
            finish(1);
        }
    });
    QObject::connect(&flow, &LauncherWorkflow::gamePageDue, &flow, &LauncherWorkflow::beginGameResources);
    QObject::connect(&flow, &LauncherWorkflow::phaseChanged, &app, [&](LauncherWorkflow::Phase phase) {
        if (phase == LauncherWorkflow::Downloading && downloadingNs < 0)
            downloadingNs = clock.nsecsElapsed();
        if (phase == LauncherWorkflow::Extracting && extractingNs < 0) {
            extractingNs = clock.nsecsElapsed();
            cpuUntilExtraction = ProcessUsage::cpuSeconds() - cpuStart;
        }
        if (phase != LauncherWorkflow::Ready && phase != LauncherWorkflow::Failed &&
            phase != LauncherWorkflow::AwaitingResume)
            return;
        if (readyNs >= 0)
            return; // back on the game page during the pre-download
        readyNs = clock.nsecsElapsed();
        const double extraction = extractingNs < 0 ? 0.0 : double(readyNs - extractingNs) / 1e9;
        std::printf("wall: %.3f s\n", double(readyNs) / 1e9);
        if (downloadingNs >= 0)
            std::printf("until_download: %.3f s\n", double(downloadingNs) / 1e9);
        std::printf("extraction: %.3f s\n", extraction);
        std::printf("without_extraction: %.3f s\n", double(readyNs) / 1e9 - extraction);
        const double cpu = ProcessUsage::cpuSeconds() - cpuStart;
        std::printf("cpu: %.3f s\ncpu_without_extraction: %.3f s\n", cpu,
                    cpuUntilExtraction < 0 ? cpu : cpuUntilExtraction);
        stallLine("gui_stall_max");
        if (phase != LauncherWorkflow::Ready) {
            std::fprintf(stderr, "the workflow did not reach Ready (phase %d)\n", int(phase));
            finish(1);
            return;
        }
        if (!waitForPreDownload)
            finish(0);
        else
            std::fflush(stdout);
    });
    QTimer::singleShot(0, &flow, [&] {
        clock.start();
        cpuStart = ProcessUsage::cpuSeconds();
        tick.start();
        flow.start();
    });
    app.exec();
    return exitCode;
}

} // namespace

int main(int argc, char **argv) {
    // As the launcher's main does.
    Platform::tuneHeap();
    QCoreApplication app(argc, argv);
    const char *usage = "bench_predownload key <secret key file>\n"
                        "       bench_predownload run <folder> <cdn base url> <event log url> [predownload]";
    if (!BenchMain::hasArguments(argc, 1, usage))
        return 2;
    // Each file taken from the pre-download stays in the log, to be counted.
    BenchMain::quietMessages(QStringLiteral("taking the pre-downloaded"));
    const QByteArray mode = argv[1];
    int code = 2;
    if (mode == "key" && BenchMain::hasArguments(argc, 2, usage))
        code = makeKey(QString::fromLocal8Bit(argv[2]));
    else if (mode == "run" && BenchMain::hasArguments(argc, 4, usage))
        code = run(app, argc, argv);
    else if (mode != "key" && mode != "run")
        std::fprintf(stderr, "usage: %s\n", usage);
    VersionTable::release();
    return code;
}
