#pragma once

// Keeps every message the process logs, passing each on to the handler that was there before,
// for tests that check the log lines of the code under test. Messages may come from any thread;
// read lines() once the threads that log are done.

#include <QStringList>
#include <QtGlobal>

#include <mutex>

namespace LogCapture {

inline QStringList &lines() {
    static QStringList kept;
    return kept;
}

inline QtMessageHandler &previousHandler() {
    static QtMessageHandler handler = nullptr;
    return handler;
}

inline void keep(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    lines().append(message);
    if (previousHandler())
        previousHandler()(type, context, message);
}

inline void start() {
    lines().clear();
    previousHandler() = qInstallMessageHandler(keep);
}

inline void stop() {
    qInstallMessageHandler(previousHandler());
    previousHandler() = nullptr;
}

} // namespace LogCapture
