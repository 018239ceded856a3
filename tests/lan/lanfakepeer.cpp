// A launcher nearby that misbehaves, for the sharing test: it answers searches for the release of a
// version file and serves a folder's files (named as the CDN names them), in one of four ways:
//   kv-lan-fakepeer VERSION_FILE FILES_DIR flip|entryflip|vanish|silent
// flip: each file with one byte changed; entryflip: only the archive entries of FILES_DIR/entry, as
// "entry/<name>", each with one byte changed; vanish: gone once 300 KiB are out; silent: never answers.
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

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: kv-lan-fakepeer VERSION_FILE FILES_DIR flip|entryflip|vanish|silent\n");
        return 2;
    }
    const QString mode = args.at(3);
    HttpServer server;
    const bool entries = mode == QLatin1String("entryflip");
    const QString dir = args.at(2) + (entries ? QStringLiteral("/entry") : QString());
    for (const QString &file : QDir(dir).entryList(QDir::Files)) {
        QByteArray data = TestFiles::readFile(dir + QLatin1Char('/') + file);
        const QString name = entries ? QStringLiteral("entry/") + file : file;
        if ((mode == QLatin1String("flip") || entries) && !data.isEmpty())
            data[data.size() / 2] = char(data.at(data.size() / 2) ^ 0x20);
        server.setFile('/' + name.toUtf8(), data);
        HttpServer::Faults never;
        never.hold = true;
        if (mode == QLatin1String("silent"))
            server.setFaults('/' + name.toUtf8(), never);
    }
    if (!server.listen(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        std::fprintf(stderr, "fake peer cannot listen\n");
        return 1;
    }
    // Gone at once, as a PC that is switched off: the system resets its connections.
    QTimer vanish;
    QObject::connect(&vanish, &QTimer::timeout, [&server]() {
        if (server.bodyBytesSent() >= 300 * 1024) {
            std::fflush(stdout);
            std::_Exit(0);
        }
    });
    if (mode == QLatin1String("vanish"))
        vanish.start(5);

    LanPeerFinder finder;
    finder.setSubnets(LanInterfaces::usable());
    finder.setRelease(QCryptographicHash::hash(TestFiles::readFile(args.at(1)), QCryptographicHash::Sha256));
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
