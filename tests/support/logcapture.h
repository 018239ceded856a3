#pragma once

// Keeps every message the process logs, passing each on to the handler that was there before,
// for tests that check the log lines of the code under test.

#include <QStringList>
#include <QtGlobal>

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
