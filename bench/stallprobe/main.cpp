// An idle event loop with the same 10 ms timer as the download benchmark's signal thread, run in a
// process of its own beside a download: its worst lateness is what the machine alone costs a thread
// that only waits, whatever the downloading program does. Runs until the stop file exists, then
// prints "probe_stall_max: <ms> ms".
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_stallprobe <stop file>\n");
        return 2;
    }
    const QString stopFile = QString::fromLocal8Bit(argv[1]);
    QElapsedTimer clock;
    clock.start();
    qint64 previousNs = -1;
    qint64 worstNs = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (previousNs >= 0)
            worstNs = qMax(worstNs, now - previousNs - 10000000);
        previousNs = now;
        if (QFileInfo::exists(stopFile))
            app.quit();
    });
    tick.start(10);
    app.exec();
    std::printf("probe_stall_max: %.1f ms\n", double(worstNs) / 1e6);
    return 0;
}
