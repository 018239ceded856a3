// A launcher on the local network that misbehaves, for the sharing test: it answers searches for the
// release of a version file like a launcher does, and serves the files of a folder (named as the CDN
// names them) in one of these ways:
//
//   kv-lan-fakepeer VERSION_FILE FILES_DIR MODE
//     flip     every file with one byte changed
//     vanish   the right bytes, until VanishAfterBytes are out: then the process is gone
//     silent   takes every request and never answers
//
// It prints "fake peer serving on PORT" once it answers searches.
#include "lan/laninterfaces.h"
#include "lan/lanpeerfinder.h"
#include "support/httpserver.h"
#include "support/testfiles.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr qint64 VanishAfterBytes = 300 * 1024;

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: kv-lan-fakepeer VERSION_FILE FILES_DIR flip|vanish|silent\n");
        return 2;
    }
    const QByteArray versionFile = TestFiles::readFile(args.at(1));
    const QString mode = args.at(3);

    HttpServer server;
    const QStringList names = QDir(args.at(2)).entryList(QDir::Files);
    for (const QString &name : names) {
        QByteArray data = TestFiles::readFile(args.at(2) + QLatin1Char('/') + name);
        if (mode == QLatin1String("flip") && !data.isEmpty())
            data[data.size() / 2] = char(data.at(data.size() / 2) ^ 0x20);
        const QByteArray path = '/' + name.toUtf8();
        server.setFile(path, data);
        if (mode == QLatin1String("silent")) {
            HttpServer::Faults never;
            never.hold = true;
            server.setFaults(path, never);
        }
    }
    if (!server.listen(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        std::fprintf(stderr, "fake peer cannot listen\n");
        return 1;
    }

    // Gone at once, as a PC that is switched off: its connections are reset by the system.
    QTimer vanish;
    if (mode == QLatin1String("vanish")) {
        vanish.setInterval(5);
        QObject::connect(&vanish, &QTimer::timeout, [&server]() {
            if (server.bodyBytesSent() >= VanishAfterBytes) {
                std::fflush(stdout);
                std::_Exit(0);
            }
        });
        vanish.start();
    }

    LanPeerFinder finder;
    finder.setSubnets(LanInterfaces::usable());
    finder.setRelease(QCryptographicHash::hash(versionFile, QCryptographicHash::Sha256));
    finder.setServingPort(server.port());
    QString why;
    if (!finder.start(&why)) {
        std::fprintf(stderr, "fake peer cannot search: %s\n", qPrintable(why));
        return 1;
    }
    std::printf("fake peer serving on %d\n", int(server.port()));
    std::fflush(stdout);
    return app.exec();
}
