#pragma once

// Helpers for tests that run the built tools as child processes.

#include "support/testfiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
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

// `events`: the event loop turns while it runs, for servers and clients of the test beside it.
inline Run run(const QString &program, const QStringList &args, const QString &workDir = QString(),
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
               int timeoutMs = 60000, bool events = false) {
    QProcess p;
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(10000))
        return r;
    r.finished = events ? QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, timeoutMs)
                        : p.waitForFinished(timeoutMs);
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

using TestFiles::md5Hex;
using TestFiles::patternBytes;
using TestFiles::readFile;
using TestFiles::writeFile;

} // namespace ToolSupport
