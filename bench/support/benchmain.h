#pragma once

// The start of a benchmark's main: its arguments, and a log that leaves the launcher's debug
// lines out of the figures.

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
inline void quietMessages(const QString &keptPrefix = QString()) {
    keptDebugPrefix() = keptPrefix;
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        const QString &kept = keptDebugPrefix();
        if (type != QtDebugMsg || (!kept.isEmpty() && text.startsWith(kept)))
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
}

} // namespace BenchMain
