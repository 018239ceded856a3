// tools/stack: nginx as the CDN plus kv-sink, started, checked and stopped as a user would.
#include "support/httpserver.h"
#include "toolsupport.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace ToolSupport;

namespace {

QString stackScript() {
    return sourceDir() + QLatin1String("/tools/stack");
}

Run stack(const QStringList &args) {
    return run(stackScript(), args, QString(), QProcessEnvironment::systemEnvironment(), 60000);
}

bool portAnswers(quint16 port) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    return s.waitForConnected(2000);
}

QNetworkReply *waitFor(QNetworkReply *reply) {
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return reply;
}

} // namespace

class TestStack : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startsServesRangesAndStops();
    void busyPortOrBadOptionsLeaveNothingRunning();
    void mirrorsServeTheSameFolderAndGoDownAlone();

private:
    QString nginx;
    std::unique_ptr<QTemporaryDir> tmp;
    QStringList started;
};

void TestStack::init() {
    nginx = QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/bin", "/sbin"});
    if (nginx.isEmpty())
        QSKIP("nginx is not installed");
    tmp = std::make_unique<QTemporaryDir>();
}

void TestStack::cleanup() {
    for (const QString &dir : started)
        stack({"stop", dir});
    started.clear();
    tmp.reset();
}

void TestStack::startsServesRangesAndStops() {
    const QString dir = tmp->filePath("stack");
    const QString cdn = tmp->filePath("my cdn");
    const QByteArray data = patternBytes(5 * 1024 * 1024 + 123, 5);
    QVERIFY(writeFile(cdn + "/v1_game.zip", data));
    QVERIFY(writeFile(cdn + "/version3.txt", "game.zip:1:x:5\n"));
    QVERIFY(writeFile(tmp->filePath("secret.txt"), "secret"));
    const QList<quint16> ports = HttpServer::freePorts(3);
    QCOMPARE(ports.size(), 3);
    const QStringList startArgs = {"start",        dir,
                                   "--build",      binaryDir(),
                                   "--cdn-root",   cdn,
                                   "--cdn-port",   QString::number(ports[0]),
                                   "--log-port",   QString::number(ports[1]),
                                   "--crash-port", QString::number(ports[2])};
    started << dir;
    Run r = stack(startArgs);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY(r.out.contains(QByteArray::number(ports[0])));
    QCOMPARE(stack({"status", dir}).exitCode, 0);

    // A second start is refused while the first runs.
    r = stack(startArgs);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("already running"), r.err.constData());

    QNetworkAccessManager nam;
    const QString base = QStringLiteral("http://127.0.0.1:%1/sea/win_update/").arg(ports[0]);
    {
        QNetworkRequest req(QUrl(base + "v1_game.zip"));
        req.setRawHeader("Range", "bytes=1000-1999");
        req.setRawHeader("Accept-Encoding", "deflate");
        QNetworkReply *reply = waitFor(nam.get(req));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 206);
        QCOMPARE(reply->rawHeader("Content-Range"),
                 QByteArray("bytes 1000-1999/") + QByteArray::number(data.size()));
        QCOMPARE(reply->readAll(), data.mid(1000, 1000));
        reply->deleteLater();
    }
    {
        // The last 4 MiB piece asks past the end; the answer stops at the end of the file.
        QNetworkRequest req(QUrl(base + "v1_game.zip"));
        req.setRawHeader("Range", "bytes=4194304-8388607");
        QNetworkReply *reply = waitFor(nam.get(req));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 206);
        QCOMPARE(reply->readAll(), data.mid(4194304));
        reply->deleteLater();
    }
    {
        QNetworkReply *reply = waitFor(nam.get(QNetworkRequest(QUrl(base + "version3.txt"))));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QCOMPARE(reply->readAll(), QByteArray("game.zip:1:x:5\n"));
        reply->deleteLater();
    }
    {
        // Nothing outside the CDN folder is reachable.
        QNetworkRequest req(QUrl(base + "..%2Fsecret.txt"));
        QNetworkReply *reply = waitFor(nam.get(req));
        QVERIFY(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400);
        QVERIFY(!reply->readAll().contains("secret"));
        reply->deleteLater();
        reply = waitFor(nam.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(ports[0])))));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
        reply->deleteLater();
    }
    {
        QNetworkRequest req(QUrl(QStringLiteral("http://127.0.0.1:%1/c_bq_log/bq_log").arg(ports[1])));
        req.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply *reply = waitFor(nam.post(req, QByteArray(R"({"event":"launcher started"})")));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        reply->deleteLater();
        QCOMPARE(readFile(dir + "/sink/events.jsonl"), QByteArray("{\"event\":\"launcher started\"}\n"));
    }
    QVERIFY(QFileInfo(dir + "/logs/nginx-access.log").size() > 0);

    r = stack({"stop", dir});
    QCOMPARE(r.exitCode, 0);
    for (quint16 port : ports)
        QVERIFY(!portAnswers(port));
    QVERIFY(!QFileInfo::exists(dir + "/run/nginx.pid"));
    QVERIFY(!QFileInfo::exists(dir + "/run/sink.pid"));
    QCOMPARE(stack({"status", dir}).exitCode, 1);
    // Stopping again is harmless.
    QCOMPARE(stack({"stop", dir}).exitCode, 0);

    // And it starts again in the same folder.
    r = stack(startArgs);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(stack({"stop", dir}).exitCode, 0);
}

void TestStack::busyPortOrBadOptionsLeaveNothingRunning() {
    const QString dir = tmp->filePath("stack");
    QTcpServer busy;
    QVERIFY(busy.listen(QHostAddress::LocalHost));
    const QList<quint16> ports = HttpServer::freePorts(3);
    QCOMPARE(ports.size(), 3);
    started << dir;
    Run r =
        stack({"start", dir, "--build", binaryDir(), "--cdn-port", QString::number(ports[0]), "--log-port",
               QString::number(busy.serverPort()), "--crash-port", QString::number(ports[2])});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("in use"), r.err.constData());
    QVERIFY(!portAnswers(ports[0]));
    QCOMPARE(stack({"status", dir}).exitCode, 1);

    r = stack({"start", dir, "--build", binaryDir(), "--limit-rate", "fast"});
    QCOMPARE(r.exitCode, 1);
    r = stack({"start", dir, "--build", binaryDir(), "--bind", "127.0.0.1; deny all"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("bad --bind"), r.err.constData());
    r = stack({"start", dir, "--build", tmp->filePath("nowhere")});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.err.contains("kv-sink"));
    r = stack({"frobnicate"});
    QCOMPARE(r.exitCode, 2);
}

// Two mirrors beside the CDN: each serves the same folder; one killed leaves the others serving,
// status says which is down, and stop ends everything.
void TestStack::mirrorsServeTheSameFolderAndGoDownAlone() {
    const QString dir = tmp->filePath("stack");
    const QString cdn = tmp->filePath("cdn");
    QVERIFY(writeFile(cdn + "/version3.txt", "game.zip:1:x:5\n"));
    const QList<quint16> ports = HttpServer::freePorts(5);
    QCOMPARE(ports.size(), 5);
    started << dir;
    Run r = stack({"start", dir, "--build", binaryDir(), "--cdn-root", cdn, "--cdn-port",
                   QString::number(ports[0]), "--log-port", QString::number(ports[1]), "--crash-port",
                   QString::number(ports[2]), "--mirrors", "2", "--mirror-port", QString::number(ports[3])});
    // The mirrors take the ports after the first; the one after ports[3] may be taken meanwhile.
    if (r.exitCode != 0 && r.err.contains("in use"))
        QSKIP("the port after the first mirror's is in use");
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const quint16 mirrorPorts[] = {ports[3], quint16(ports[3] + 1)};
    QNetworkAccessManager nam;
    const auto versionFileFrom = [&](quint16 port) {
        QNetworkReply *reply = waitFor(nam.get(QNetworkRequest(
            QUrl(QStringLiteral("http://127.0.0.1:%1/sea/win_update/version3.txt").arg(port)))));
        reply->deleteLater();
        return reply->readAll();
    };
    for (quint16 port : {ports[0], mirrorPorts[0], mirrorPorts[1]})
        QCOMPARE(versionFileFrom(port), QByteArray("game.zip:1:x:5\n"));
    QCOMPARE(stack({"status", dir}).exitCode, 0);

    const QByteArray pid = readFile(dir + "/run/mirror1.pid").trimmed();
    QVERIFY(!pid.isEmpty());
    QCOMPARE(
        run("kill", {QString::fromLatin1(pid)}, QString(), QProcessEnvironment::systemEnvironment(), 10000)
            .exitCode,
        0);
    QTRY_VERIFY_WITH_TIMEOUT(!portAnswers(mirrorPorts[0]), 10000);
    r = stack({"status", dir});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.out.contains("nginx mirror1: stopped"), r.out.constData());
    QCOMPARE(versionFileFrom(mirrorPorts[1]), QByteArray("game.zip:1:x:5\n"));
    QCOMPARE(versionFileFrom(ports[0]), QByteArray("game.zip:1:x:5\n"));

    QCOMPARE(stack({"stop", dir}).exitCode, 0);
    for (quint16 port : {ports[0], ports[1], ports[2], mirrorPorts[1]})
        QVERIFY(!portAnswers(port));
    QCOMPARE(QDir(dir + "/run").entryList({"*.pid"}, QDir::Files), QStringList());
}

QTEST_GUILESS_MAIN(TestStack)
#include "tst_stack.moc"
