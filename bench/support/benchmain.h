#pragma once

// The start of a benchmark's main: its arguments, and a log that leaves the launcher's debug
// lines out of the figures.

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>

#include <cstdio>

namespace BenchMain {

// False, after printing "usage: " and `usage`, when fewer than `count` arguments follow the program.
inline bool hasArguments(int argc, int count, const char *usage) {
    if (argc > count)
        return true;
    std::fprintf(stderr, "usage: %s\n", usage);
    return false;
}

inline QString &keptDebugPrefix() {
    static QString prefix;
    return prefix;
}

// Warnings go to standard error, debug lines only when they start with `keptPrefix` (if given).
// With BENCH_LOG set every line goes there, after the seconds since this call (where a run spends
// its time).
inline void quietMessages(const QString &keptPrefix = QString()) {
    keptDebugPrefix() = keptPrefix;
    if (qEnvironmentVariableIsSet("BENCH_LOG")) {
        static QElapsedTimer clock;
        clock.start();
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
            std::fprintf(stderr, "%8.3f %s\n", double(clock.nsecsElapsed()) / 1e9, qPrintable(text));
        });
        return;
    }
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        const QString &kept = keptDebugPrefix();
        if (type != QtDebugMsg || (!kept.isEmpty() && text.startsWith(kept)))
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
}

} // namespace BenchMain
