#pragma once

// The launcher as a process of its own: the product's main() built with its build constants read
// from the environment (kv_launcher_envapp, tests/launcher), copied into an install folder and
// pointed at a server the test started on a port it picked.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

namespace LauncherProcess {

inline QString envBinary() {
    return qEnvironmentVariable("KESTRIVANE_BINARY_DIR") + QStringLiteral("/tests/kv_launcher_envapp");
}

// Copies the launcher into installDir as "Kestrivane", making installDir and configHome first. Its
// settings switch sharing with the local network off: launchers of tests side by side must not find
// each other (tests/lan shares on a network of its own).
inline bool install(const QString &installDir, const QString &configHome) {
    QFile settings(installDir + QStringLiteral("/settings.ini"));
    return QDir().mkpath(installDir) && QDir().mkpath(configHome) &&
           QFile::copy(envBinary(), installDir + QStringLiteral("/Kestrivane")) &&
           settings.open(QIODevice::WriteOnly) &&
           settings.write("[global_settings]\nshare_with_local_network=0\n") > 0;
}

// A launcher of version 0.11 (no build mode) with its own configuration home and its endpoints
// below base (an HttpServer's url()): the CDN at "/sea/win_update/", the event log at
// "/c_bq_log/bq_log", the crash upload at "/api/crash-logs".
inline QProcessEnvironment environment(const QString &configHome, const QString &base) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    env.insert(QStringLiteral("KESTRIVANE_TEST_CDN_BASE_URL"), base + QStringLiteral("/sea/win_update/"));
    env.insert(QStringLiteral("KESTRIVANE_TEST_LOG_URL"), base + QStringLiteral("/c_bq_log/bq_log"));
    env.insert(QStringLiteral("KESTRIVANE_TEST_CRASH_UPLOAD_URL"), base + QStringLiteral("/api/crash-logs"));
    env.insert(QStringLiteral("KESTRIVANE_TEST_LAUNCHER_VERSION"), QStringLiteral("0.11"));
    env.remove(QStringLiteral("KESTRIVANE_TEST_BUILD_MODE"));
    return env;
}

// Ends a process the test started: asks it to leave, and kills it when it has not within 10 s.
inline void stop(QProcess *p) {
    if (p->state() == QProcess::NotRunning)
        return;
    p->terminate();
    if (!p->waitForFinished(10000)) {
        p->kill();
        p->waitForFinished(5000);
    }
}

} // namespace LauncherProcess
