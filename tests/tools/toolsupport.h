#pragma once

// Helpers for tests that run the built tools as child processes.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTest>

namespace ToolSupport {

inline QString binaryDir() {
    return qEnvironmentVariable("KESTRIVANE_BINARY_DIR");
}

inline QString sourceDir() {
    return qEnvironmentVariable("KESTRIVANE_SOURCE_DIR");
}

inline QString tool(const QString &name) {
    return binaryDir() + QLatin1String("/bin/") + name;
}

struct Run {
    bool finished = false;
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    QByteArray out;
    QByteArray err;
};

inline Run run(const QString &program, const QStringList &args, const QString &workDir = QString(),
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
               int timeoutMs = 60000) {
    QProcess p;
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(10000))
        return r;
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.exitCode = p.exitCode();
    r.exitStatus = p.exitStatus();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// A port nothing listens on right now (bound to 0, then released).
inline quint16 freePort() {
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = s.serverPort();
    s.close();
    return port;
}

inline QByteArray readFile(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

inline bool writeFile(const QString &path, const QByteArray &data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// Bytes that depend on their position, so a shifted or truncated copy shows.
inline QByteArray patternBytes(qint64 size, quint32 seed = 1) {
    QByteArray b(int(size), Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 12345u;
    for (qint64 i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        b[int(i)] = char((x >> 16) ^ quint32(i));
    }
    return b;
}

} // namespace ToolSupport
