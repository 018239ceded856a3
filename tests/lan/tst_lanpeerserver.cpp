// The server for launchers nearby, started for real on 127.0.0.1 and asked over real sockets with
// requests written byte for byte: what it answers, what it refuses, and how it bounds its clients.

#include "lan/lanpeerserver.h"
#include "support/rawhttp.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

class TestLanPeerServer : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    LanPeerServer server;
    QByteArray content;
    std::vector<std::unique_ptr<QTcpSocket>> held;

    QString write(const QString &name, const QByteArray &bytes) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        return file.fileName();
    }

    void offer(const QString &name, const QString &path, qint64 size = -1) {
        const QFileInfo info(path);
        server.offer(name, {path, size < 0 ? info.size() : size, info.lastModified().toMSecsSinceEpoch()});
    }

    QTcpSocket *connectFrom(const QString &source, const QByteArray &request) {
        held.push_back(std::make_unique<QTcpSocket>());
        RawHttp::send(held.back().get(), QHostAddress(source), QHostAddress::LocalHost, server.port(),
                      request);
        return held.back().get();
    }

    // Sends `request` from `source`, reads until the server closes and returns the status (0: no
    // answer, -1: still open), with what came after the status line in `rest`.
    int exchange(const QByteArray &request, const QString &source = QStringLiteral("127.0.0.1"),
                 QByteArray *rest = nullptr) {
        QTcpSocket *socket = connectFrom(source, request);
        socket->setReadBufferSize(0);
        QByteArray got;
        const bool closed = QTest::qWaitFor(
            [&] { return (got += socket->readAll(), socket->state() == QAbstractSocket::UnconnectedState); },
            20000);
        held.pop_back();
        if (rest)
            *rest = got.mid(12);
        return !closed ? -1 : got.startsWith("HTTP/1.1 ") ? got.mid(9, 3).toInt() : 0;
    }

    // A transfer of the large file whose client reads no further than its status line.
    int startHeldTransfer(const QString &source) {
        return RawHttp::status(connectFrom(source, "GET /v1_big.bin HTTP/1.1\r\n\r\n"));
    }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        for (int i = 0; i < 1000; ++i)
            content += char((i * 7 + i / 251) & 0xff); // an offset error shows
        offer(QStringLiteral("v1_a.bin"), write(QStringLiteral("a.bin"), content));
        offer(QStringLiteral("v1_my file.bin"), write(QStringLiteral("my file.bin"), content));
        offer(QStringLiteral("v1_empty.bin"), write(QStringLiteral("empty.bin"), {}));
        QFile big(write(QStringLiteral("big.bin"), {}));
        QVERIFY(big.resize(64 << 20));
        offer(QStringLiteral("v1_big.bin"), big.fileName());
        // A link to an offered file, offered with that file's size and time, is still not served.
        const QString link = dir.filePath(QStringLiteral("linked.bin"));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("a.bin")), link));
        offer(QStringLiteral("v1_linked.bin"), link, content.size());
        // Never offered: a name a request could reach only through a dot segment.
        server.offer(QStringLiteral("x/../v1_a.bin"), {dir.filePath(QStringLiteral("a.bin")), 1000, 0});
        QCOMPARE(server.offeredCount(), 5);

        // Two addresses listen on the one port the first picked.
        const LanSubnet loopback{QStringLiteral("lo"), 1, QHostAddress(QStringLiteral("127.0.0.1")), 29};
        const LanSubnet other{QStringLiteral("lo"), 1, QHostAddress(QStringLiteral("127.0.1.1")), 32};
        QString why;
        QVERIFY2(server.start({loopback, other}, 0, &why), qPrintable(why));
    }

    void answers_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("length"); // of the body expected
        QTest::addColumn<QByteArray>("header");
        const auto row = [](const char *tag, const QByteArray &request, int status, int offset, int length,
                            const QByteArray &header = {}) {
            QTest::newRow(tag) << request << status << offset << length << header;
        };
        row("whole", "GET /v1_a.bin", 200, 0, 1000, "Content-Length: 1000");
        row("range", "GET /v1_a.bin\r\nRange: bytes=10-19", 206, 10, 10, "Content-Range: bytes 10-19/1000");
        row("open range", "GET /v1_a.bin\r\nRange: bytes=990-", 206, 990, 10);
        row("suffix", "GET /v1_a.bin\r\nRange: bytes=-5", 206, 995, 5, "Content-Range: bytes 995-999/1000");
        row("end clamped", "GET /v1_a.bin\r\nRange: bytes=995-5000", 206, 995, 5);
        row("from the end", "GET /v1_a.bin\r\nRange: bytes=1000-", 416, 0, 0, "Content-Range: bytes */1000");
        row("empty file range", "GET /v1_empty.bin\r\nRange: bytes=0-", 416, 0, 0);
        row("several ranges", "GET /v1_a.bin\r\nRange: bytes=0-1,5-6", 416, 0, 0);
        row("backwards range", "GET /v1_a.bin\r\nRange: bytes=5-1", 400, 0, 0);
        row("head", "HEAD /v1_a.bin", 200, 0, 0, "Content-Length: 1000");
        row("head range", "HEAD /v1_a.bin\r\nRange: bytes=0-9", 206, 0, 0, "Content-Length: 10");
        row("post", "POST /v1_a.bin\r\nContent-Length: 0", 405, 0, 0, "Allow: GET, HEAD");
        row("not offered", "GET /v1_b.bin", 404, 0, 0);
        row("dot segment", "GET /x/../v1_a.bin", 404, 0, 0);
        row("percent encoded", "GET /v1_%61.bin", 404, 0, 0);
        row("query", "GET /v1_a.bin?x=1", 404, 0, 0);
        row("space as clients send it", "GET /v1_my%20file.bin\r\nRange: bytes=0-3", 206, 0, 4);
        row("link", "GET /v1_linked.bin", 404, 0, 0);
    }

    void answers() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(int, offset);
        QFETCH(int, length);
        QFETCH(QByteArray, header);
        const int line = request.contains("\r\n") ? request.indexOf("\r\n") : request.size();
        QByteArray rest;
        const QByteArray sent =
            request.left(line) + " HTTP/1.1\r\nHost: peer" + request.mid(line) + "\r\n\r\n";
        QCOMPARE(exchange(sent, QStringLiteral("127.0.0.1"), &rest), status);
        const int end = rest.indexOf("\r\n\r\n") + 4;
        QCOMPARE(rest.mid(end), content.mid(offset, length));
        QVERIFY2(rest.left(end).contains("\r\n" + header), rest.left(end).constData());
        QVERIFY(!rest.left(end).contains("\r\nLocation:"));
    }

    void changedFilesAreWithdrawn() {
        const QString grown = write(QStringLiteral("grown.bin"), content);
        const QString touched = write(QStringLiteral("touched.bin"), content);
        offer(QStringLiteral("v1_grown.bin"), grown);
        offer(QStringLiteral("v1_touched.bin"), touched);
        QCOMPARE(exchange("HEAD /v1_grown.bin HTTP/1.1\r\n\r\n"), 200);
        const int before = server.offeredCount();
        QFile file(grown);
        QVERIFY(file.open(QIODevice::Append) && file.write("x") == 1);
        file.close();
        QFile other(touched);
        QVERIFY(other.open(QIODevice::ReadWrite));
        QVERIFY(other.setFileTime(QFileInfo(touched).lastModified().addSecs(7),
                                  QFileDevice::FileModificationTime));
        other.close();
        QCOMPARE(exchange("GET /v1_grown.bin HTTP/1.1\r\n\r\n"), 404);
        QCOMPARE(exchange("GET /v1_touched.bin HTTP/1.1\r\n\r\n"), 404);
        QCOMPARE(server.offeredCount(), before - 2);
        // Back at its size, it stays withdrawn: nothing checked it again.
        QVERIFY(file.resize(content.size()));
        QCOMPARE(exchange("GET /v1_grown.bin HTTP/1.1\r\n\r\n"), 404);
    }

    void clientsAreBounded() {
        const QByteArray head = "HEAD /v1_a.bin HTTP/1.1\r\n\r\n";
        QCOMPARE(exchange(head, QStringLiteral("127.0.0.9")), 0); // outside the subnets
        for (int i = 2; i <= 5; ++i)
            QCOMPARE(startHeldTransfer(QStringLiteral("127.0.0.%1").arg(i)), 200);
        QCOMPARE(exchange(head, QStringLiteral("127.0.0.6")), 503);
        QCOMPARE(startHeldTransfer(QStringLiteral("127.0.0.2")), 200);
        QCOMPARE(startHeldTransfer(QStringLiteral("127.0.0.2")), 503);
        // The first client leaves: its place goes to the next address.
        held[0]->abort();
        held[4]->abort();
        QTRY_COMPARE_WITH_TIMEOUT(exchange(head, QStringLiteral("127.0.0.6")), 200, 20000);
        held.clear();
        QTRY_COMPARE_WITH_TIMEOUT(exchange(head, QStringLiteral("127.0.1.1")), 200, 20000);
    }

    void headerFloodIsCut() {
        const QByteArray fill = "X-Fill: " + QByteArray(90, 'a') + "\r\n";
        QCOMPARE(exchange("HEAD /v1_a.bin HTTP/1.1\r\n" + fill.repeated(60) + "\r\n"), 200);
        const int flood = exchange("HEAD /v1_a.bin HTTP/1.1\r\n" + fill.repeated(1000) + "\r\n");
        QVERIFY(flood == 0 || (flood >= 400 && flood < 500));
    }

    void stopClosesRunningTransfers() {
        QCOMPARE(startHeldTransfer(QStringLiteral("127.0.0.3")), 200);
        const quint16 port = server.port();
        server.stop();
        QTcpSocket &socket = *held.back();
        socket.setReadBufferSize(0);
        qint64 received = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            (received += socket.readAll().size(), socket.state() == QAbstractSocket::UnconnectedState),
            20000);
        QVERIFY(received < (64 << 20));
        // While its sockets close, a late request is turned away or left unanswered; then the port
        // is gone.
        const auto portClosed = [port] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress(QStringLiteral("127.0.0.1")), port);
            return !probe.waitForConnected(1000);
        };
        QTcpSocket late;
        late.connectToHost(QHostAddress(QStringLiteral("127.0.0.1")), port);
        QByteArray answer;
        if (late.waitForConnected(5000))
            late.write("GET /v1_a.bin HTTP/1.1\r\n\r\n");
        QTRY_VERIFY_WITH_TIMEOUT((answer += late.readAll(), portClosed()), 15000);
        answer += late.readAll();
        QVERIFY2(!answer.startsWith("HTTP/1.1 200"), answer.left(40).constData());
    }
};

QTEST_GUILESS_MAIN(TestLanPeerServer)
#include "tst_lanpeerserver.moc"
