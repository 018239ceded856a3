// kv-sink as a real process: event lines and crash uploads stored byte-exact.
#include "toolsupport.h"

#include <QEventLoop>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace ToolSupport;

namespace {

struct Sink {
    std::unique_ptr<QProcess> process;
    quint16 logPort = 0;
    quint16 crashPort = 0;
    QString out;

    bool start(const QString &outDir, const QStringList &extra = {}) {
        out = outDir;
        const QString portFile = outDir + QLatin1String(".ports");
        QFile::remove(portFile);
        process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(
            tool(QStringLiteral("kv-sink")),
            QStringList{"--out", outDir, "--log-port", "0", "--crash-port", "0", "--port-file", portFile} +
                extra);
        if (!process->waitForStarted(10000))
            return false;
        for (int i = 0; i < 200 && !QFile::exists(portFile); ++i)
            QTest::qWait(25);
        const QList<QByteArray> lines = readFile(portFile).split('\n');
        for (const QByteArray &line : lines) {
            if (line.startsWith("log="))
                logPort = quint16(line.mid(4).toUInt());
            if (line.startsWith("crash="))
                crashPort = quint16(line.mid(6).toUInt());
        }
        return logPort && crashPort;
    }

    bool stop() {
        if (!process || process->state() == QProcess::NotRunning)
            return true;
        process->terminate();
        return process->waitForFinished(10000) && process->exitCode() == 0;
    }

    ~Sink() {
        if (process && process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }

    QUrl logUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/c_bq_log/bq_log").arg(logPort)); }
    QUrl crashUrl() const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/api/crash-logs").arg(crashPort));
    }
};

struct Answer {
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
};

Answer finish(QNetworkReply *reply, int timeoutMs = 20000) {
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    Answer a;
    a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    a.error = reply->error();
    a.body = reply->readAll();
    reply->deleteLater();
    return a;
}

Answer postEvent(QNetworkAccessManager &nam, const QUrl &url, const QByteArray &body) {
    QNetworkRequest req(url);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    return finish(nam.post(req, body));
}

QHttpPart textPart(const QByteArray &name, const QByteArray &body) {
    QHttpPart p;
    p.setHeader(QNetworkRequest::ContentDispositionHeader, QByteArray("form-data; name=\"") + name + "\"");
    p.setBody(body);
    return p;
}

// Posts a form with one text part; the reply is the caller's (finish() it).
QNetworkReply *postPart(QNetworkAccessManager &nam, QNetworkRequest request, const QByteArray &name,
                        const QByteArray &body) {
    auto *multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    multi->append(textPart(name, body));
    QNetworkReply *reply = nam.post(request, multi);
    multi->setParent(reply);
    return reply;
}

} // namespace

class TestSink : public QObject {
    Q_OBJECT

private slots:
    void eventsAreStoredOneLinePerBody();
    void crashUploadIsStoredPartByPart();
    void brokenUploadsAreMarkedAndTheSinkKeepsServing();
    void slowCrashServerStillStoresAndStopsPromptly();
    void badOptionsAndBusyPortsFail();

private:
    QNetworkAccessManager nam;
};

void TestSink::eventsAreStoredOneLinePerBody() {
    QTemporaryDir tmp;
    Sink sink;
    QVERIFY(sink.start(tmp.filePath("out")));

    const QByteArray first = R"({"deviceId":"","event":"launcher started","gclid":"","src":"game_launcher"})";
    const QByteArray second = QStringLiteral(R"({"event":"Grüße ✓","file":"a b.zip"})").toUtf8();
    QCOMPARE(postEvent(nam, sink.logUrl(), first).status, 200);
    QCOMPARE(postEvent(nam, sink.logUrl(), second).status, 200);
    const QString events = tmp.filePath("out/events.jsonl");
    QCOMPARE(readFile(events), first + '\n' + second + '\n');

    // Refusals leave the file as it was; the same connection keeps working afterwards.
    Answer big = postEvent(nam, sink.logUrl(), QByteArray(1024 * 1024 + 1, 'x'));
    QCOMPARE(big.status, 413);
    QCOMPARE(postEvent(nam, sink.logUrl(), QByteArray("{\"a\":1}\n{\"b\":2}")).status, 400);
    QCOMPARE(postEvent(nam, sink.logUrl(), QByteArray()).status, 400);
    QCOMPARE(readFile(events), first + '\n' + second + '\n');

    const QByteArray limit = '"' + QByteArray(1024 * 1024 - 2, 'y') + '"';
    QCOMPARE(postEvent(nam, sink.logUrl(), limit).status, 200);
    QCOMPARE(postEvent(nam, sink.logUrl(), first).status, 200);
    QCOMPARE(readFile(events), first + '\n' + second + '\n' + limit + '\n' + first + '\n');

    // Only the event path is served.
    QNetworkRequest other(QUrl(QStringLiteral("http://127.0.0.1:%1/other").arg(sink.logPort)));
    QCOMPARE(finish(nam.post(other, QByteArray("{}"))).status, 404);

    // A restart appends instead of truncating.
    QVERIFY(sink.stop());
    QVERIFY(sink.start(tmp.filePath("out")));
    QCOMPARE(postEvent(nam, sink.logUrl(), second).status, 200);
    QVERIFY(readFile(events).endsWith(first + '\n' + second + '\n'));
    QCOMPARE(readFile(events).count('\n'), 5);
    QVERIFY(sink.stop());
}

void TestSink::crashUploadIsStoredPartByPart() {
    QTemporaryDir tmp;
    Sink sink;
    QVERIFY(sink.start(tmp.filePath("out")));

    // An archive whose bytes look like multipart syntax, to catch a parser that cuts at the wrong place.
    QByteArray archive = "PK\x03\x04\r\n--\r\n--boundary\r\nContent-Disposition: form-data\r\n\r\n";
    archive += patternBytes(300000, 7);
    archive += "\r\n--";
    QVERIFY(writeFile(tmp.filePath("crash_info/1f2e3d4c.zip"), archive));
    const QByteArray description = QString(256, QChar(0x00e9)).toUtf8();

    QList<QPair<QByteArray, QByteArray>> fields = {{"crash_guid", "1f2e3d4c"},
                                                   {"crash_md5", md5Hex(archive).toLatin1()},
                                                   {"gclid", ""},
                                                   {"device_id", "33221100-5544-7766-8899-AABBCCDDEEFF"},
                                                   {"description", description}};
    for (int round = 1; round <= 2; ++round) {
        auto *multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        for (const auto &f : fields)
            multi->append(textPart(f.first, f.second));
        QHttpPart zip;
        zip.setHeader(QNetworkRequest::ContentDispositionHeader,
                      QByteArray("form-data; name=\"crash_zip\"; filename=\"1f2e3d4c.zip\""));
        zip.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-zip-compressed"));
        auto *file = new QFile(tmp.filePath("crash_info/1f2e3d4c.zip"));
        QVERIFY(file->open(QIODevice::ReadOnly));
        zip.setBodyDevice(file);
        multi->append(zip);
        QNetworkReply *reply = nam.post(QNetworkRequest(sink.crashUrl()), multi);
        file->setParent(reply);
        multi->setParent(reply);
        const Answer a = finish(reply);
        QCOMPARE(a.status, 200);
        const QJsonObject answer = QJsonDocument::fromJson(a.body).object();
        QCOMPARE(answer.value("upload").toInt(), round);
        QCOMPARE(answer.value("parts").toInt(), 6);

        // The answer comes after the upload is on disk.
        const QString dir = tmp.filePath(QStringLiteral("out/crash/%1").arg(round));
        const QStringList names = {"1_crash_guid", "2_crash_md5",   "3_gclid",
                                   "4_device_id",  "5_description", "6_crash_zip"};
        for (int i = 0; i < fields.size(); ++i)
            QCOMPARE(readFile(dir + '/' + names.at(i)), fields.at(i).second);
        QCOMPARE(readFile(dir + "/6_crash_zip"), archive);

        const QJsonObject summary = QJsonDocument::fromJson(readFile(dir + "/summary.json")).object();
        QCOMPARE(summary.value("complete").toBool(), true);
        QCOMPARE(summary.value("upload").toInt(), round);
        QVERIFY(summary.value("content_type").toString().startsWith("multipart/form-data; boundary="));
        const QJsonArray parts = summary.value("parts").toArray();
        QCOMPARE(parts.size(), 6);
        for (int i = 0; i < 6; ++i) {
            const QJsonObject p = parts.at(i).toObject();
            const QByteArray body = i < 5 ? fields.at(i).second : archive;
            QCOMPARE(p.value("name").toString(), names.at(i).mid(2));
            QCOMPARE(p.value("file").toString(), names.at(i));
            QCOMPARE(p.value("size").toInt(), body.size());
            QCOMPARE(p.value("md5").toString(), md5Hex(body));
            QCOMPARE(p.value("filename").toString(), i < 5 ? QString() : QStringLiteral("1f2e3d4c.zip"));
            QCOMPARE(p.value("content_type").toString(),
                     i < 5 ? QString() : QStringLiteral("application/x-zip-compressed"));
        }
        // Keys in the documented order.
        const QByteArray raw = readFile(dir + "/summary.json");
        const int n = raw.indexOf("\"name\""), f = raw.indexOf("\"filename\""),
                  c = raw.indexOf("\"content_type\": \"\""), s = raw.indexOf("\"size\""),
                  m = raw.indexOf("\"md5\"");
        QVERIFY(n < f && f < c && c < s && s < m);
    }

    // Numbering continues after a restart.
    QVERIFY(sink.stop());
    QVERIFY(sink.start(tmp.filePath("out")));
    QCOMPARE(finish(postPart(nam, QNetworkRequest(sink.crashUrl()), "crash_guid", "x")).status, 200);
    QCOMPARE(readFile(tmp.filePath("out/crash/3/1_crash_guid")), QByteArray("x"));
    QVERIFY(sink.stop());
}

void TestSink::brokenUploadsAreMarkedAndTheSinkKeepsServing() {
    QTemporaryDir tmp;
    Sink sink;
    QVERIFY(sink.start(tmp.filePath("out")));

    // Not a form: refused, nothing stored.
    QNetworkRequest plain(sink.crashUrl());
    plain.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QCOMPARE(finish(nam.post(plain, QByteArray("{}"))).status, 400);
    QVERIFY(!QFileInfo::exists(tmp.filePath("out/crash/1")));

    // A client that promises more than it sends and hangs up mid-part.
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, sink.crashPort);
        QVERIFY(socket.waitForConnected(5000));
        const QByteArray body =
            "--XyZ\r\nContent-Disposition: form-data; name=\"crash_guid\"\r\n\r\nabc\r\n"
            "--XyZ\r\nContent-Disposition: form-data; name=\"crash_zip\"; filename=\"a.zip\"\r\n"
            "Content-Type: application/x-zip-compressed\r\n\r\nPARTIAL";
        socket.write("POST /api/crash-logs HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     "Content-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: 100000\r\n\r\n" +
                     body);
        QVERIFY(socket.waitForBytesWritten(5000));
        QTest::qWait(200);
        socket.disconnectFromHost();
    }
    const QString summaryPath = tmp.filePath("out/crash/1/summary.json");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(summaryPath), 35000);
    const QJsonObject summary = QJsonDocument::fromJson(readFile(summaryPath)).object();
    QCOMPARE(summary.value("complete").toBool(), false);
    QCOMPARE(readFile(tmp.filePath("out/crash/1/1_crash_guid")), QByteArray("abc"));

    // Part names from the client never become paths.
    QCOMPARE(finish(postPart(nam, QNetworkRequest(sink.crashUrl()), "../../escape", "evil")).status, 200);
    QCOMPARE(readFile(tmp.filePath("out/crash/2/1_.._.._escape")), QByteArray("evil"));
    QVERIFY(!QFileInfo::exists(tmp.filePath("escape")));
    QVERIFY(!QFileInfo::exists(tmp.filePath("out/escape")));

    // Event log still answers.
    QCOMPARE(postEvent(nam, sink.logUrl(), "{}").status, 200);
    QVERIFY(sink.stop());
}

void TestSink::slowCrashServerStillStoresAndStopsPromptly() {
    QTemporaryDir tmp;
    Sink sink;
    QVERIFY(sink.start(tmp.filePath("out"), {"--crash-delay-ms", "60000"}));

    QNetworkRequest req(sink.crashUrl());
    req.setTransferTimeout(1000);
    const Answer a = finish(postPart(nam, req, "crash_guid", "slow"));
    QVERIFY(a.error != QNetworkReply::NoError);
    QCOMPARE(a.status, 0);
    QCOMPARE(readFile(tmp.filePath("out/crash/1/1_crash_guid")), QByteArray("slow"));

    // A pending delay does not hold up the stop.
    QNetworkReply *pending = postPart(nam, QNetworkRequest(sink.crashUrl()), "crash_guid", "pending");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(tmp.filePath("out/crash/2/summary.json")), 10000);
    QVERIFY(sink.stop());
    pending->abort();
    pending->deleteLater();
}

void TestSink::badOptionsAndBusyPortsFail() {
    QTemporaryDir tmp;
    QTcpServer busy;
    QVERIFY(busy.listen(QHostAddress::LocalHost, 0));
    const QString port = QString::number(busy.serverPort());
    Run r = run(tool("kv-sink"), {"--out", tmp.filePath("o"), "--log-port", port, "--crash-port", "off"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("cannot listen"), r.err.constData());

    r = run(tool("kv-sink"), {"--log-port", "0"});
    QCOMPARE(r.exitCode, 2);
    r = run(tool("kv-sink"), {"--out", tmp.filePath("o"), "--log-port", "70000"});
    QCOMPARE(r.exitCode, 2);
    r = run(tool("kv-sink"), {"--out", tmp.filePath("o"), "--log-port", "off", "--crash-port", "off"});
    QCOMPARE(r.exitCode, 2);
    r = run(tool("kv-sink"), {"--help"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains("/api/crash-logs"));
}

QTEST_GUILESS_MAIN(TestSink)
#include "tst_sink.moc"
