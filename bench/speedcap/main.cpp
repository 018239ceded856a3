// The download cap over the launcher's ten piece connections (XDManager, as the launcher runs it):
// the rate received over 10 s after the first 5 s against the cap, the longest stall of the thread
// that runs the engine's signals (the launcher's GUI thread), and how long a change of the cap
// takes to show in the rate and in the speed the page shows (refreshed once a second, as the
// launcher's page is), beside the page's smoothing without a new start at the change. Usage: bench_speedcap
// <target dir> <list file> <cap MiB/s> <new cap MiB/s> The list has one "name md5 size" line per file,
// fetched from cdnBaseUrl + "v1_" + name (set KESTRIVANE_TEST_CDN_BASE_URL); the files must outlast the run
// (about 18 s). Prints nothing but the reason and exits 1 when a file fails or the download ends first.

#include "download/bandwidthcap.h"
#include "download/xdmanager.h"
#include "platform/platform.h"
#include "support/benchmain.h"
#include "support/filelist.h"
#include "trust/versiontable.h"
#include "workflow/progresstext.h"
#include "workflow/speedmeter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <cstdio>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 MeasureFromMs = 5000;
constexpr qint64 MeasureMs = 10000;
constexpr qint64 ChangeAtMs = MeasureFromMs + MeasureMs;
constexpr qint64 AfterChangeMs = 3000;
// The rate after a change counts as the new cap once a window of this length is within
// ApplyTolerance of it (so the figure is at least one window).
constexpr qint64 ApplyWindowMs = 100;
constexpr double ApplyTolerance = 0.10;
// The page's refreshes, half way between two of them at the change.
constexpr qint64 RefreshMs = 1000;
constexpr qint64 FirstRefreshMs = 500;

struct Sample {
    qint64 atNs;
    qint64 bytes;
};

// Bytes received at `ms` into the run, between the samples around it.
qint64 bytesAt(const QVector<Sample> &samples, qint64 ms) {
    const qint64 ns = ms * 1000000;
    for (int i = 1; i < samples.size(); ++i) {
        if (samples.at(i).atNs >= ns) {
            const Sample &a = samples.at(i - 1);
            const Sample &b = samples.at(i);
            const double f = b.atNs == a.atNs ? 1.0 : double(ns - a.atNs) / double(b.atNs - a.atNs);
            return a.bytes + qint64(f * double(b.bytes - a.bytes));
        }
    }
    return samples.isEmpty() ? 0 : samples.last().bytes;
}

} // namespace

int main(int argc, char **argv) {
    Platform::tuneHeap();
    QCoreApplication app(argc, argv);
    if (!BenchMain::hasArguments(argc, 4,
                                 "bench_speedcap <target dir> <list file> <cap MiB/s> <new cap MiB/s>"))
        return 2;
    BenchMain::quietMessages(QStringLiteral("piece failed"));
    const double capMib = QString::fromLocal8Bit(argv[3]).toDouble();
    const double newCapMib = QString::fromLocal8Bit(argv[4]).toDouble();
    const qint64 cap = qint64(capMib * MiB);
    const qint64 newCap = qint64(newCapMib * MiB);
    QFile list(QString::fromLocal8Bit(argv[2]));
    if (cap <= 0 || newCap <= 0 || !list.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "bad caps or cannot read %s\n", argv[2]);
        return 2;
    }
    XDManager manager(QString::fromLocal8Bit(argv[1]));
    BenchFiles::queue(list, manager);

    BandwidthCap &limiter = BandwidthCap::instance();
    limiter.setRate(cap);
    bool broken = false;
    QObject::connect(&manager, &XDManager::fileDownloadFinished, [&](ErrorCode code, const QString &name) {
        if (code != NoError) {
            std::fprintf(stderr, "file %s ended with code %d\n", qPrintable(name), int(code));
            broken = true;
        }
    });
    QObject::connect(&manager, &XDManager::allFileDownloadFinished, [&] {
        std::fprintf(stderr, "the download ended before the run: use larger files\n");
        broken = true;
        app.quit();
    });

    // Every 10 ms on this thread: the bytes through the cap, and how late the tick came.
    // BENCH_PHASES: every stall longer than 15 ms, when it ended.
    const bool phases = qEnvironmentVariableIsSet("BENCH_PHASES");
    QVector<Sample> samples;
    samples.reserve(4096);
    QElapsedTimer clock;
    qint64 previousNs = -1;
    qint64 worstStallNs = 0;
    qint64 worstStallAtNs = 0;
    qint64 worstMeasuredStallNs = 0; // from the start of the measured window to the end of the run
    int stallsOver21Ms = 0;
    qint64 changedAtNs = -1;
    const qint64 startBytes = limiter.passedBytes();
    // The speed as the page shows it, and as it showed it before a change started the measuring again.
    SpeedMeter meter;
    qint64 smoothedOnly = 0;
    qint64 lastBytes = limiter.passedBytes();
    QVector<QPair<qint64, qint64>> shownAfterChange;
    QTimer refresh;
    refresh.setTimerType(Qt::PreciseTimer);
    QObject::connect(&refresh, &QTimer::timeout, [&] {
        const qint64 bytes = limiter.passedBytes();
        meter.sample(bytes, limiter.rate());
        smoothedOnly = ProgressText::smoothedSpeed(bytes, lastBytes, smoothedOnly);
        lastBytes = bytes;
        if (changedAtNs >= 0)
            shownAfterChange.append({meter.speed(), smoothedOnly});
    });
    QTimer::singleShot(FirstRefreshMs, [&] {
        meter.restart(limiter.passedBytes(), limiter.rate());
        lastBytes = limiter.passedBytes();
        refresh.start(RefreshMs);
    });
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (previousNs >= 0) {
            const qint64 late = now - previousNs - 10000000;
            if (phases && late > 15000000)
                std::fprintf(stderr, "%.3f s: stall of %.1f ms\n", double(now) / 1e9, double(late) / 1e6);
            if (late > worstStallNs) {
                worstStallNs = late;
                worstStallAtNs = now;
            }
            if (previousNs >= MeasureFromMs * 1000000)
                worstMeasuredStallNs = qMax(worstMeasuredStallNs, late);
            if (late > 21000000)
                ++stallsOver21Ms;
        }
        previousNs = now;
        samples.append({now, limiter.passedBytes() - startBytes});
        if (changedAtNs < 0 && now >= ChangeAtMs * 1000000) {
            limiter.setRate(newCap);
            changedAtNs = now;
        }
        if (now >= (ChangeAtMs + AfterChangeMs) * 1000000)
            app.quit();
    });
    clock.start();
    tick.start(10);
    manager.start();
    app.exec();
    if (broken)
        return 1;

    const double received =
        double(bytesAt(samples, MeasureFromMs + MeasureMs) - bytesAt(samples, MeasureFromMs)) * 1000.0 /
        MeasureMs;
    // The change has applied at the end of the first window after it whose rate is within the
    // tolerance of the new cap (the rate over the rest of the run is printed beside it).
    const qint64 changedMs = changedAtNs / 1000000;
    qint64 appliedMs = -1;
    for (qint64 t = changedMs; t + ApplyWindowMs <= ChangeAtMs + AfterChangeMs; t += 10) {
        const double rate =
            double(bytesAt(samples, t + ApplyWindowMs) - bytesAt(samples, t)) * 1000.0 / ApplyWindowMs;
        if (qAbs(rate - double(newCap)) <= ApplyTolerance * double(newCap)) {
            appliedMs = t + ApplyWindowMs - changedMs;
            break;
        }
    }
    const double after =
        double(bytesAt(samples, ChangeAtMs + AfterChangeMs) - bytesAt(samples, ChangeAtMs + 1000)) * 1000.0 /
        double(AfterChangeMs - 1000);

    std::printf("cap: %.2f MiB/s\n", capMib);
    std::printf("received_5_to_15_s: %.3f MiB/s\n", received / MiB);
    std::printf("longest_gui_stall: %.1f ms (ended %.2f s into the run)\n", double(worstStallNs) / 1e6,
                double(worstStallAtNs) / 1e9);
    std::printf("longest_gui_stall_from_5_s: %.1f ms\n", double(worstMeasuredStallNs) / 1e6);
    std::printf("gui_stalls_over_21_ms: %d\n", stallsOver21Ms);
    std::printf("cap_change: %.2f -> %.2f MiB/s\n", capMib, newCapMib);
    if (appliedMs >= 0)
        std::printf("cap_change_applied_in: %lld ms\n", appliedMs);
    else
        std::printf("cap_change_applied_in: not within %lld ms\n", AfterChangeMs);
    std::printf("received_after_change: %.3f MiB/s\n", after / MiB);
    QByteArray shown, before;
    for (const auto &speeds : qAsConst(shownAfterChange)) {
        shown += QByteArray::number(double(speeds.first) / MiB, 'f', 3) + ' ';
        before += QByteArray::number(double(speeds.second) / MiB, 'f', 3) + ' ';
    }
    std::printf("shown_speed_after_change: %sMiB/s (one a refresh)\n", shown.constData());
    std::printf("smoothed_only_after_change: %sMiB/s (without the new start)\n", before.constData());
    if (shownAfterChange.size() >= 2) {
        std::printf("shown_second_refresh_vs_new_cap: %.4f\n",
                    double(shownAfterChange.at(1).first) / double(newCap));
        std::printf("smoothed_only_second_refresh_vs_new_cap: %.4f\n",
                    double(shownAfterChange.at(1).second) / double(newCap));
    }
    std::printf("received_vs_cap: %.4f\n", received / double(cap));
    return 0;
}
