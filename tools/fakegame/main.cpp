// fakegame: a stand-in for the game. Records its arguments, then exits, crashes or waits as told.
#include "tools/fakegame/crashzip.h"
#include "tools/fakegame/fakegameconfig.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QTimer>
#include <QUuid>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// One argument per line, bytes as received.
bool writeArguments(int argc, char **argv) {
    QSaveFile f(QStringLiteral("fakegame-args.txt"));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    for (int i = 1; i < argc; ++i) {
        f.write(argv[i]);
        f.write("\n");
    }
    return f.commit();
}

void leaveCrashZips(const FakeGameConfig &cfg, int count) {
    if (count <= 0)
        return;
    QDir dir(QDir::current());
    if (!dir.mkpath(QStringLiteral("crash_info"))) {
        std::fprintf(stderr, "fakegame: cannot create crash_info\n");
        return;
    }
    for (int i = 0; i < count; ++i) {
        QString name = QUuid::createUuid().toString(QUuid::WithoutBraces) + QLatin1String(".zip");
        if (i == 0 && !cfg.crashZipName.isEmpty())
            name = cfg.crashZipName;
        QByteArray content = "Quelvane stub crash report\narguments:";
        for (const QString &a : QCoreApplication::arguments().mid(1))
            content += ' ' + a.toUtf8();
        content += '\n';
        // Position-dependent filler, so a shifted or truncated upload is visible.
        content.reserve(int(qMax<qint64>(content.size(), cfg.crashZipSize)));
        for (qint64 k = content.size(); k < cfg.crashZipSize; ++k)
            content += char('a' + (k * 7 + k / 251) % 26);
        QSaveFile f(QStringLiteral("crash_info/") + name);
        if (!f.open(QIODevice::WriteOnly) ||
            f.write(CrashZip::build(QStringLiteral("crash.txt"), content)) < 0 || !f.commit()) {
            std::fprintf(stderr, "fakegame: cannot write crash_info/%s\n", qPrintable(name));
            continue;
        }
        std::printf("fakegame: left crash_info/%s\n", qPrintable(name));
    }
}

[[noreturn]] void crashNow() {
    std::printf("fakegame: crashing\n");
    std::fflush(stdout);
    std::abort();
}

} // namespace

int main(int argc, char **argv) {
    QString errors;
    const FakeGameConfig cfg = FakeGameConfig::load(QDir::currentPath(), &errors);
    if (!errors.isEmpty())
        std::fputs(qPrintable(QStringLiteral("fakegame: ") + errors), stderr);
    if (!writeArguments(argc, argv))
        std::fprintf(stderr, "fakegame: cannot write fakegame-args.txt\n");

    std::unique_ptr<QCoreApplication> app;
    if (cfg.headless)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    std::printf("fakegame: started with %d arguments in %s\n", argc - 1, qPrintable(QDir::currentPath()));
    std::fflush(stdout);

    auto finish = [&cfg](int code, bool crash, int zips) {
        leaveCrashZips(cfg, zips);
        if (crash)
            crashNow();
        std::printf("fakegame: exit %d\n", code);
        std::fflush(stdout);
        QCoreApplication::exit(code);
    };

    std::unique_ptr<QWidget> window;
    if (!cfg.headless) {
        window = std::make_unique<QWidget>();
        window->setWindowTitle(QStringLiteral("Quelvane (stub game)"));
        auto *layout = new QVBoxLayout(window.get());
        layout->addWidget(new QLabel(QStringLiteral("Quelvane stub game\narguments: %1")
                                         .arg(QCoreApplication::arguments().mid(1).join(QLatin1Char(' '))),
                                     window.get()));
        auto *quit = new QPushButton(QStringLiteral("Quit"), window.get());
        auto *report = new QPushButton(QStringLiteral("Exit 1 with crash report"), window.get());
        auto *crash = new QPushButton(QStringLiteral("Crash"), window.get());
        layout->addWidget(quit);
        layout->addWidget(report);
        layout->addWidget(crash);
        QObject::connect(quit, &QPushButton::clicked,
                         [&] { finish(cfg.exitCode, cfg.crash, cfg.crashZips); });
        QObject::connect(report, &QPushButton::clicked, [&] { finish(1, false, qMax(1, cfg.crashZips)); });
        QObject::connect(crash, &QPushButton::clicked, [&] { finish(0, true, qMax(1, cfg.crashZips)); });
        // Closing the window quits the game the configured way.
        auto *gui = static_cast<QApplication *>(app.get());
        gui->setQuitOnLastWindowClosed(false);
        QObject::connect(gui, &QGuiApplication::lastWindowClosed,
                         [&] { finish(cfg.exitCode, cfg.crash, cfg.crashZips); });
        window->resize(360, 160);
        window->show();
    }

    const int waitMs = cfg.waitMs >= 0 ? cfg.waitMs : (cfg.headless ? 0 : -1);
    if (waitMs >= 0)
        QTimer::singleShot(waitMs, [&] { finish(cfg.exitCode, cfg.crash, cfg.crashZips); });
    return app->exec();
}
