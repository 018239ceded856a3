#pragma once

// What the tests that kill the built launcher share: its install in a temporary folder, the test's
// HTTP server, randomness seeded from KV_CRASH_SAFETY_SEED (printed, so a run can be repeated), and
// runs started with their own log and ended by a signal.

#include "support/httpserver.h"
#include "support/launcherprocess.h"
#include "support/testfiles.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

class KilledLauncher {
protected:
    HttpServer *server = nullptr;
    QTemporaryDir root;
    QString installDir;
    QString program;
    QRandomGenerator random;
    int runs = 0;

    // From initTestCase: the launcher program installed, the randomness seeded, the server listening.
    void setUpLauncher(QObject *owner) {
        runsOwner = owner;
        QVERIFY(root.isValid());
        QVERIFY2(QFile::exists(LauncherProcess::envBinary()), qPrintable(LauncherProcess::envBinary()));
        installDir = root.path() + QStringLiteral("/install");
        program = installDir + QStringLiteral("/Kestrivane");
        QVERIFY(LauncherProcess::install(installDir, root.path() + QStringLiteral("/config")));
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        quint32 seed = qEnvironmentVariable("KV_CRASH_SAFETY_SEED").toUInt();
        if (seed == 0)
            seed = QRandomGenerator::global()->generate();
        qInfo("seed %u (set KV_CRASH_SAFETY_SEED to repeat)", seed);
        random.seed(seed);

        server = new HttpServer(owner);
        QVERIFY(server->listen());
    }

    QByteArray randomBytes(int size) {
        QByteArray data(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            data[i] = char(random.bounded(256));
        return data;
    }

    // The next run, offscreen unless the environment says otherwise, its output in its own log.
    QProcess *startLauncher() {
        auto *p = new QProcess(runsOwner);
        QProcessEnvironment env =
            LauncherProcess::environment(root.path() + QStringLiteral("/config"), server->url());
        if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p->setProcessEnvironment(env);
        p->setWorkingDirectory(installDir);
        ++runs;
        p->setStandardOutputFile(runLog());
        p->setStandardErrorFile(runLog(), QIODevice::Append);
        p->start(program, QStringList());
        return p;
    }

    // Mostly SIGKILL; about one run in four is ended by the system instead (SIGTERM, as at a
    // shutdown), which leaves in order in the middle of whatever it does. True for SIGTERM.
    bool endRun(QProcess *p) {
        const bool terminated = random.bounded(4) == 0;
        if (terminated)
            p->terminate();
        else
            p->kill();
        if (!p->waitForFinished(20000))
            QTest::qFail("the killed launcher did not end", __FILE__, __LINE__);
        delete p;
        return terminated;
    }

    QString runLog() const { return root.path() + QStringLiteral("/run%1.log").arg(runs); }
    QString logTail() const { return QString::fromLocal8Bit(TestFiles::readFile(runLog()).right(3000)); }

private:
    QObject *runsOwner = nullptr;
};
