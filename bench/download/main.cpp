// Downloads a release with XDManager, as the launcher does, and prints wall time, CPU time and
// peak memory. Usage: bench_download <target dir> <list file>
// The list has one "name md5 size" line per file; file N is fetched from cdnBaseUrl + "v1_" + N
// (set KESTRIVANE_TEST_CDN_BASE_URL). Exit status 0 only when every file ended with NoError.

#include "download/fileassembler.h"
#include "download/xdmanager.h"
#include "platform/platform.h"
#include "support/benchmain.h"
#include "support/filelist.h"
#include "support/processusage.h"
#include "trust/versiontable.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QTimer>
#include <QtGlobal>

#include <cstdio>
#include <ctime>

int main(int argc, char **argv) {
    // As the launcher's main does.
    Platform::tuneHeap();
    QCoreApplication app(argc, argv);
    if (!BenchMain::hasArguments(argc, 2, "bench_download <target dir> <list file>"))
        return 2;
    // Piece failures stay visible: a failed run has to say why.
    BenchMain::quietMessages(QStringLiteral("piece"));
    QFile list(QString::fromLocal8Bit(argv[2]));
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 2;
    }
    XDManager manager(QString::fromLocal8Bit(argv[1]));
    const BenchFiles::Queued queued = BenchFiles::queue(list, manager);
    const qint64 total = queued.bytes;
    const int files = queued.files;

    int failures = 0;
    int ended = 0;
    QElapsedTimer clock;
    const bool phases = qEnvironmentVariableIsSet("BENCH_PHASES");
    QObject::connect(&manager, &XDManager::fileDownloadFinished, [&](ErrorCode code, const QString &name) {
        if (phases)
            std::fprintf(stderr, "%.3f s: %s ended\n", double(clock.nsecsElapsed()) / 1e9, qPrintable(name));
        ++ended;
        if (code != NoError) {
            ++failures;
            std::fprintf(stderr, "file %s ended with code %d\n", qPrintable(name), int(code));
        }
    });
    QObject::connect(&manager, &XDManager::allFileDownloadFinished, &app, &QCoreApplication::quit);

    if (phases) {
        // The moment the last byte arrives (nothing is buffered and every piece has completed).
        auto *poll = new QTimer(&manager);
        QObject::connect(poll, &QTimer::timeout, [&, poll] {
            qint64 sum = 0;
            for (auto it = VersionTable::instance().cbegin(); it != VersionTable::instance().cend(); ++it)
                sum += it->downloadedBytes;
            if (ended == files - 1 && sum == VersionTable::instance().last().size) {
                std::fprintf(stderr, "%.3f s: last piece received\n", double(clock.nsecsElapsed()) / 1e9);
                poll->stop();
            }
        });
        poll->start(1);
    }
    // Stalls of this thread, which runs the engine's signals as the launcher's GUI thread does: the
    // worst lateness of a 10 ms timer over the run, and around the end of the largest file (from
    // its last byte received until just after it was reported).
    QString largest;
    for (auto it = VersionTable::instance().cbegin(); it != VersionTable::instance().cend(); ++it) {
        if (largest.isEmpty() || it->size > VersionTable::instance().value(largest).size)
            largest = it.key();
    }
    const qint64 largestSize = VersionTable::instance().value(largest).size;
    qint64 worstStallNs = 0;
    qint64 worstStallAtNs = 0; // when the worst stall ended
    qint64 worstEndStallNs = 0;
    qint64 largestLastByteNs = -1; // when the largest file's last piece had arrived
    qint64 largestEndedNs = -1;    // when it was reported
    qint64 previousTickNs = -1;
    QTimer stallTimer;
    stallTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&stallTimer, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (previousTickNs >= 0) {
            const qint64 late = qMax<qint64>(0, now - previousTickNs - 10000000);
            // Each longer stall with its end on the monotonic clock, to find it in a perf record
            // taken with -k CLOCK_MONOTONIC.
            if (phases && late > 15000000) {
                timespec ts{};
                clock_gettime(CLOCK_MONOTONIC, &ts);
                std::fprintf(stderr, "%.3f s: stall of %.1f ms ended (monotonic %ld.%06ld)\n",
                             double(now) / 1e9, double(late) / 1e6, long(ts.tv_sec), long(ts.tv_nsec / 1000));
            }
            if (late > worstStallNs) {
                worstStallNs = late;
                worstStallAtNs = now;
            }
            const bool nearEnd = largestLastByteNs >= 0 &&
                                 (largestEndedNs < 0 || previousTickNs <= largestEndedNs + 100000000);
            if (nearEnd)
                worstEndStallNs = qMax(worstEndStallNs, late);
        }
        previousTickNs = now;
        if (largestLastByteNs < 0 && VersionTable::instance().value(largest).downloadedBytes >= largestSize)
            largestLastByteNs = now;
    });
    QObject::connect(&manager, &XDManager::fileDownloadFinished, [&](ErrorCode, const QString &name) {
        if (name == largest) {
            largestEndedNs = clock.nsecsElapsed();
            if (largestLastByteNs < 0)
                largestLastByteNs = largestEndedNs;
        }
    });
    stallTimer.start(10);

    // Bytes held for pieces still being received, sampled; the pieces waiting for the hash and
    // the writer are bounded by the buffer pool and show in the peak RSS.
    qint64 peakBuffered = 0;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout,
                     [&] { peakBuffered = qMax(peakBuffered, manager.bufferedBytes()); });
    sample.start(5);
    const double cpuBefore = ProcessUsage::cpuSeconds();
    const double guiCpuBefore = ProcessUsage::threadCpuSeconds();
    clock.start();
    QTimer::singleShot(0, &manager, &XDManager::start);
    app.exec();
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    const double cpu = ProcessUsage::cpuSeconds() - cpuBefore;
    const double guiCpu = ProcessUsage::threadCpuSeconds() - guiCpuBefore;
    const double mib = double(total) / (1024.0 * 1024.0);

    std::printf("engine_wall: %.3f s\n", wall);
    std::printf("engine_throughput: %.1f MiB/s\n", mib / wall);
    std::printf("engine_cpu_per_gib: %.3f s\n", cpu / (mib / 1024.0));
    // The signal thread's own share: what the launcher's GUI thread would spend on the download.
    std::printf("engine_gui_thread_cpu_per_gib: %.3f s\n", guiCpu / (mib / 1024.0));
    std::printf("engine_peak_rss: %.1f MiB\n", ProcessUsage::peakRssMiB());
    std::printf("engine_peak_buffered: %.1f MiB\n", double(peakBuffered) / (1024.0 * 1024.0));
    std::printf("engine_files_ok: %d of %d\n", ended - failures, files);
    // Flushing received pieces to the disk and replacing the resume records, on the writer threads
    // beside the download: per GiB, and as a share of the wall time.
    const double recordSeconds = double(FileAssembler::recordNanoseconds()) / 1e9;
    std::printf("engine_record_keeping: %.3f s per GiB, %.1f %% of the wall time, %lld records\n",
                recordSeconds / (mib / 1024.0), 100.0 * recordSeconds / wall,
                static_cast<long long>(FileAssembler::recordCount()));
    std::printf("engine_gui_stall_max: %.1f ms (ended %.2f s into the run)\n", double(worstStallNs) / 1e6,
                double(worstStallAtNs) / 1e9);
    std::printf("engine_gui_stall_end_of_largest: %.1f ms (%s)\n", double(worstEndStallNs) / 1e6,
                qPrintable(largest));
    VersionTable::release();
    return (failures == 0 && ended == files) ? 0 : 1;
}
