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
#include <memory>
#include <vector>

namespace {

constexpr int LaunchersPerProxy = 3;
// An origin reached over a line of a publisher's office, not loopback: rclone's own limit, both modes.
const char *const UploadRate = "16M";

// Runs a program while the launchers' checks go on; its exit code (-1 when it did not end).
int runBeside(const QString &program, const QStringList &args, const QProcessEnvironment &env,
              const QString &dir) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    if (!p.waitForStarted(10000)) {
        std::fprintf(stderr, "cannot run %s: %s\n", qPrintable(program), qPrintable(p.errorString()));
        return -1;
    }
    while (p.state() != QProcess::NotRunning)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    p.readAllStandardOutput();
    const int code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    if (code != 0)
        std::fprintf(stderr, "%s %s: exit code %d\n", qPrintable(program),
                     qPrintable(args.join(QLatin1Char(' '))), code);
    return code;
}

void waitFor(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

// Launchers through one proxy, started a third of a second apart.
struct Players {
    std::vector<std::unique_ptr<ReleaseWatcher>> launchers;
    void print(const char *proxy) const {
        QMap<QString, int> outcomes;
        int checks = 0, failed = 0;
        for (const auto &w : launchers) {
            for (auto it = w->outcomes.cbegin(); it != w->outcomes.cend(); ++it)
                outcomes[it.key()] += it.value();
            checks += w->checks;
            failed += w->failed;
        }
        for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
            std::printf("  %s: %d x %s\n", proxy, it.value(), qPrintable(it.key()));
        std::printf("%s checks: %d\n%s failed checks: %d\n", proxy, checks, proxy, failed);
    }
    bool idle() const {
        for (const auto &w : launchers) {
            if (!w->idle())
                return false;
        }
        return true;
    }
};

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (!BenchMain::hasArguments(
            argc, 3, "bench_upload BUILD_DIR SOURCE_DIR upload|rclone-copy|rclone-copy-all [releases]"))
        return 2;
    BenchMain::quietMessages(); // no launcher debug lines
    const QString build = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const QString source = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
    const bool ours = QLatin1String(argv[3]) == QLatin1String("upload");
    // What a publisher tries next: every file copied, whatever its size.
    const bool everyFile = QLatin1String(argv[3]) == QLatin1String("rclone-copy-all");
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
    env.insert(QStringLiteral("RCLONE_BWLIMIT"), QString::fromLatin1(UploadRate));
    TestFiles::writeFile(work + QStringLiteral("/release.key"), TestKeys::ReleaseSecretFile);
    const QString publish = build + QStringLiteral("/bin/kv-publish");
    const QStringList local{QStringLiteral("--cdn"), QStringLiteral("cdn"), QStringLiteral("--sign-key"),
                            QStringLiteral("release.key")};
    const QStringList upload =
        ours ? QStringList{QStringLiteral("--upload"), QStringLiteral("origin:")} : QStringList();
    const QStringList copy =
        QStringList{QStringLiteral("copy"), QStringLiteral("cdn"), QStringLiteral("origin:")} +
        (everyFile ? QStringList{QStringLiteral("--ignore-times")} : QStringList());

    // Each release changes a large file and a small one; rclone sends four files at a time.
    int notLive = 0; // releases whose version file did not reach the origin
    const auto release = [&](int n) {
        TestFiles::writeFile(work + QStringLiteral("/release/data.pak"),
                             TestFiles::patternBytes(48 * 1024 * 1024 + n, n));
        TestFiles::writeFile(work + QStringLiteral("/release/Kestrivane.exe"),
                             "launcher " + QByteArray::number(n));
        const QStringList args = local + QStringList{QStringLiteral("--release"), QStringLiteral("release"),
                                                     QStringLiteral("data.pak=%1").arg(n),
                                                     QStringLiteral("Kestrivane.exe=0.%1").arg(n)};
        const bool done = runBeside(publish, args + upload, env, work) == 0 &&
                          (ours || runBeside(QStringLiteral("rclone"), copy, env, work) == 0);
        // rclone copy skips a changed file of the same size where the storage keeps no times.
        if (TestFiles::readFile(servers.root() + QStringLiteral("/version3.txt")) !=
            TestFiles::readFile(work + QStringLiteral("/cdn/version3.txt")))
            ++notLive;
        return done;
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
    Players honouring, ignoring;
    for (int i = 0; i < LaunchersPerProxy; ++i) {
        honouring.launchers.push_back(std::make_unique<ReleaseWatcher>(
            servers.honouringUrl(), QString::fromLatin1(TestKeys::ReleasePublic),
            work + QStringLiteral("/launcher-a%1").arg(i), mode));
        ignoring.launchers.push_back(std::make_unique<ReleaseWatcher>(
            servers.ignoringUrl(), QString::fromLatin1(TestKeys::ReleasePublic),
            work + QStringLiteral("/launcher-b%1").arg(i), mode));
        honouring.launchers.back()->start(1000);
        ignoring.launchers.back()->start(1000);
        waitFor(1000 / LaunchersPerProxy);
    }
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
    for (Players *players : {&honouring, &ignoring}) {
        for (const auto &w : players->launchers)
            w->stop();
    }
    while (!honouring.idle() || !ignoring.idle())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::printf(
        "mode: %s (%d releases, a renewal after each; %d launchers per proxy, upload capped at %s/s)\n",
        ours        ? "kv-publish --upload, launcher with digest-named signatures"
        : everyFile ? "rclone copy --ignore-times of the folder, launcher before digest-named signatures"
                    : "rclone copy of the folder, launcher before digest-named signatures",
        releases, LaunchersPerProxy, UploadRate);
    honouring.print("honouring proxy");
    ignoring.print("ignoring proxy");
    std::printf("releases not live on the origin after their upload: %d of %d\n", notLive, releases + 1);
    std::printf("uploading: %.1f s\n", double(clock.elapsed()) / 1000.0);
    return 0;
}
