// How long a second launcher start takes from exec to exit while a first one runs: the
// hand-over path of the single-instance guard (open the block, greet, send "activated", leave).
// Usage: bench_second_start <launcher> [--runs N] [--settle-ms N] [-- arguments for every start]
// Prints second_start_median, the median of starting /bin/true for reference, and their ratio last.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// Milliseconds from start to exit of one process; negative when it did not end well.
double timedRun(const QString &program, const QStringList &arguments, const QProcessEnvironment &env) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForStarted(10000) || !process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return -1;
    return ms;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QStringList passOn;
    const int separator = args.indexOf(QStringLiteral("--"));
    if (separator >= 0) {
        passOn = args.mid(separator + 1);
        args = args.mid(0, separator);
    }
    int runs = 20;
    int settleMs = 3000;
    QString launcher;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--runs") && i + 1 < args.size())
            runs = std::max(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--settle-ms") && i + 1 < args.size())
            settleMs = std::max(0, args[++i].toInt());
        else
            launcher = args[i];
    }
    if (launcher.isEmpty() || !QFileInfo(launcher).isExecutable()) {
        std::fprintf(stderr, "launcher not found or not executable: %s\n", qPrintable(launcher));
        return 2;
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    // The first start: ready once it says so on its standard output, or after the settle time.
    QProcess primary;
    primary.setProcessEnvironment(env);
    primary.setStandardErrorFile(QProcess::nullDevice());
    primary.start(launcher, passOn);
    if (!primary.waitForStarted(10000)) {
        std::fprintf(stderr, "first start failed: %s\n", qPrintable(primary.errorString()));
        return 1;
    }
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < settleMs && primary.state() == QProcess::Running &&
           !primary.readAllStandardOutput().contains("role=primary"))
        primary.waitForReadyRead(50);
    if (primary.state() != QProcess::Running) {
        std::fprintf(stderr, "first start ended early with code %d\n", primary.exitCode());
        return 1;
    }

    std::vector<double> second;
    int failures = 0;
    for (int i = 0; i < runs; ++i) {
        const double ms = timedRun(launcher, passOn, env);
        if (ms < 0)
            ++failures;
        else
            second.push_back(ms);
    }

    // A first start that reads its standard input ends when it closes; anything else is stopped.
    primary.closeWriteChannel();
    if (!primary.waitForFinished(3000)) {
        primary.terminate();
        if (!primary.waitForFinished(5000)) {
            primary.kill();
            primary.waitForFinished(5000);
        }
    }

    std::vector<double> reference;
    for (int i = 0; i < runs; ++i) {
        const double ms = timedRun(QStringLiteral("/bin/true"), {}, env);
        if (ms >= 0)
            reference.push_back(ms);
    }

    if (second.empty()) {
        std::fprintf(stderr, "no second start ended with code 0 (%d failed)\n", failures);
        return 1;
    }
    const double secondMedian = median(second);
    std::printf("second_start_runs: %zu count\n", second.size());
    std::printf("second_start_failures: %d count\n", failures);
    std::printf("second_start_median: %.1f ms\n", secondMedian);
    std::printf("second_start_max: %.1f ms\n", *std::max_element(second.begin(), second.end()));
    if (!reference.empty()) {
        const double referenceMedian = median(reference);
        std::printf("process_start_median: %.1f ms\n", referenceMedian);
        std::printf("second_start_ratio: %.1f x\n",
                    referenceMedian > 0 ? secondMedian / referenceMedian : 0.0);
    }
    return failures == 0 ? 0 : 1;
}
