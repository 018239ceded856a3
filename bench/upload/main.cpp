// Releases going up while players' launchers check every second: an nginx WebDAV origin with two
// nginx caching proxies in front (one honouring the origin's headers, one keeping every answer 10 s),
// and a launcher with a key checking through each. Mode "upload": kv-publish --upload and the
// launcher's own check (digest-named signatures first). Mode "rclone-copy": kv-publish into the
// folder, then a plain `rclone copy` of it, checked as launchers did before digest-named signatures.
// Prints every check's outcome by proxy, then the counts.
#include "support/benchmain.h"
#include "support/originstack.h"
#include "support/releasewatcher.h"
#include "support/testfiles.h"
#include "support/testkeys.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

// Runs a program while the launchers' checks go on; its exit code (-1 when it did not end).
int runBeside(const QString &program, const QStringList &args, const QProcessEnvironment &env,
              const QString &dir) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return -1;
    while (p.state() != QProcess::NotRunning)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void waitFor(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

void print(const char *proxy, const ReleaseWatcher &w) {
    for (auto it = w.outcomes.cbegin(); it != w.outcomes.cend(); ++it)
        std::printf("  %s: %d x %s\n", proxy, it.value(), qPrintable(it.key()));
    std::printf("%s checks: %d\n%s failed checks: %d\n", proxy, w.checks, proxy, w.failed);
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (!BenchMain::hasArguments(argc, 3, "bench_upload BUILD_DIR SOURCE_DIR upload|rclone-copy [releases]"))
        return 2;
    BenchMain::quietMessages(); // no launcher debug lines
    const QString build = QString::fromLocal8Bit(argv[1]), source = QString::fromLocal8Bit(argv[2]);
    const bool ours = QLatin1String(argv[3]) == QLatin1String("upload");
    const int releases = argc > 4 ? std::atoi(argv[4]) : 10;
    QTemporaryDir tmp;
    const QString work = tmp.path();
    OriginStack servers(work, source);
    for (int i = 0; i < 100 && !servers.up(); ++i)
        QThread::msleep(100);
    if (!servers.isConfigured() || !servers.up()) {
        std::fprintf(stderr, "the origin and proxies did not start: %s\n", qPrintable(servers.errors()));
        return 1;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    servers.addRemote(&env);
    TestFiles::writeFile(work + QStringLiteral("/release.key"), TestKeys::ReleaseSecretFile);
    const QString publish = build + QStringLiteral("/bin/kv-publish");
    const QStringList local{QStringLiteral("--cdn"), QStringLiteral("cdn"), QStringLiteral("--sign-key"),
                            QStringLiteral("release.key")};
    const QStringList upload =
        ours ? QStringList{QStringLiteral("--upload"), QStringLiteral("origin:")} : QStringList();
    const QStringList copy{QStringLiteral("copy"), QStringLiteral("cdn"), QStringLiteral("origin:")};

    // Each release changes a large file and a small one; rclone sends four files at a time.
    const auto release = [&](int n) {
        TestFiles::writeFile(work + QStringLiteral("/release/data.pak"),
                             TestFiles::patternBytes(48 * 1024 * 1024 + n, n));
        TestFiles::writeFile(work + QStringLiteral("/release/Kestrivane.exe"),
                             "launcher " + QByteArray::number(n));
        const QStringList args = local + QStringList{QStringLiteral("--release"), QStringLiteral("release"),
                                                     QStringLiteral("data.pak=%1").arg(n),
                                                     QStringLiteral("Kestrivane.exe=0.%1").arg(n)};
        return runBeside(publish, args + upload, env, work) == 0 &&
               (ours || runBeside(QStringLiteral("rclone"), copy, env, work) == 0);
    };
    const auto renew = [&]() {
        return runBeside(publish, local + QStringList{QStringLiteral("--renew")} + upload, env, work) == 0 &&
               (ours || runBeside(QStringLiteral("rclone"), copy, env, work) == 0);
    };
    if (!release(1)) {
        std::fprintf(stderr, "the first release did not go up\n");
        return 1;
    }
    const ReleaseWatcher::Mode mode = ours ? ReleaseWatcher::Launcher : ReleaseWatcher::FixedNamesOnly;
    ReleaseWatcher honouring(servers.honouringUrl(), QString::fromLatin1(TestKeys::ReleasePublic),
                             work + QStringLiteral("/launcher-a"), mode);
    ReleaseWatcher ignoring(servers.ignoringUrl(), QString::fromLatin1(TestKeys::ReleasePublic),
                            work + QStringLiteral("/launcher-b"), mode);
    honouring.start(1000);
    ignoring.start(1000);
    QElapsedTimer clock;
    clock.start();
    for (int n = 2; n <= releases + 1; ++n) {
        waitFor(2000);
        if (!release(n) || (waitFor(2000), !renew())) {
            std::fprintf(stderr, "release %d did not go up\n", n);
            return 1;
        }
    }
    waitFor(12000); // the ignoring proxy's last answers expire
    honouring.stop();
    ignoring.stop();
    while (!honouring.idle() || !ignoring.idle())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::printf("mode: %s (%d releases, a renewal after each)\n",
                ours ? "kv-publish --upload, launcher with digest-named signatures"
                     : "rclone copy of the folder, launcher before digest-named signatures",
                releases);
    print("honouring proxy", honouring);
    print("ignoring proxy", ignoring);
    std::printf("uploading: %.1f s\n", double(clock.elapsed()) / 1000.0);
    return 0;
}
