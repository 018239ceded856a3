// The server for launchers nearby, started for real on 127.0.0.1 and asked over real sockets with
// requests written byte for byte: what it answers, what it refuses, and how it bounds its clients.

#include "lan/lanpeerserver.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace {

const QHostAddress Local(QStringLiteral("127.0.0.1"));

QByteArray pattern(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

struct Reply {
    int status = 0; // 0: no answer, -1: the connection stayed open
    QByteArray head;
    QByteArray body;
};

} // namespace

class TestLanPeerServer : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    LanPeerServer server;
    const QByteArray content = pattern(1000);
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

    std::unique_ptr<QTcpSocket> connectFrom(const QString &source) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(source));
        socket->connectToHost(Local, server.port());
        socket->waitForConnected(10000);
        return socket;
    }

    // Sends `request` from `source` and reads until the server closes the connection.
    Reply exchange(const QByteArray &request, const QString &source = QStringLiteral("127.0.0.1")) {
        const auto socket = connectFrom(source);
        socket->write(request);
        QByteArray received;
        const bool closed = QTest::qWaitFor(
            [&] {
                received += socket->readAll();
                return socket->state() == QAbstractSocket::UnconnectedState;
            },
            20000);
        received += socket->readAll();
        Reply reply;
        if (!closed)
            return {-1, {}, {}};
        const int end = received.indexOf("\r\n\r\n");
        if (received.startsWith("HTTP/1.1 ") && end > 0) {
            reply.status = received.mid(9, 3).toInt();
            reply.head = received.left(end);
            reply.body = received.mid(end + 4);
        }
        return reply;
    }

    // A transfer of the large file that its client stops reading after the status line.
    int startHeldTransfer(const QString &source) {
        auto socket = connectFrom(source);
        socket->setReadBufferSize(4096);
        socket->write("GET /v1_big.bin HTTP/1.1\r\nHost: peer\r\n\r\n");
        const bool answered = QTest::qWaitFor(
            [&] {
                return socket->bytesAvailable() >= 12 || socket->state() != QAbstractSocket::ConnectedState;
            },
            10000);
        const int status = answered ? socket->peek(12).mid(9).toInt() : -1;
        held.push_back(std::move(socket));
        return status;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        offer(QStringLiteral("v1_a.bin"), write(QStringLiteral("a.bin"), content));
        offer(QStringLiteral("v1_my file.bin"), write(QStringLiteral("my file.bin"), content));
        offer(QStringLiteral("v1_empty.bin"), write(QStringLiteral("empty.bin"), {}));
        QFile big(write(QStringLiteral("big.bin"), {}));
        QVERIFY(big.resize(64 << 20));
        offer(QStringLiteral("v1_big.bin"), big.fileName());
        // A link to an offered file, offered with that file's size and time, is still not served.
        QVERIFY(
            QFile::link(dir.filePath(QStringLiteral("a.bin")), dir.filePath(QStringLiteral("linked.bin"))));
        offer(QStringLiteral("v1_linked.bin"), dir.filePath(QStringLiteral("linked.bin")), content.size());
        // Not served at all: names a request could reach only through a dot segment.
        server.offer(QStringLiteral("x/../v1_a.bin"), {dir.filePath(QStringLiteral("a.bin")), 1000, 0});

        // A second subnet: both addresses listen on the one port the first picked.
        LanSubnet loopback{QStringLiteral("lo"), 1, QHostAddress(QStringLiteral("127.0.0.1")), 29};
        LanSubnet other{QStringLiteral("lo"), 1, QHostAddress(QStringLiteral("127.0.1.1")), 32};
        QString why;
        QVERIFY2(server.start({loopback, other}, 0, &why), qPrintable(why));
        QVERIFY(server.port() != 0);
        QCOMPARE(server.offeredCount(), 5);
    }

    void answers_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("length"); // body bytes; -1: none
        QTest::addColumn<QByteArray>("header");
        const auto row = [](const char *tag, const QByteArray &request, int status, int offset = 0,
                            int length = -1, const QByteArray &header = {}) {
            QTest::newRow(tag) << request << status << offset << length << header;
        };
        row("whole", "GET /v1_a.bin", 200, 0, 1000, "Content-Length: 1000");
        row("range", "GET /v1_a.bin\r\nRange: bytes=10-19", 206, 10, 10, "Content-Range: bytes 10-19/1000");
        row("open range", "GET /v1_a.bin\r\nRange: bytes=990-", 206, 990, 10);
        row("suffix", "GET /v1_a.bin\r\nRange: bytes=-5", 206, 995, 5, "Content-Range: bytes 995-999/1000");
        row("past the end clamped", "GET /v1_a.bin\r\nRange: bytes=995-5000", 206, 995, 5);
        row("from the end", "GET /v1_a.bin\r\nRange: bytes=1000-", 416, 0, 0, "Content-Range: bytes */1000");
        row("empty file whole", "GET /v1_empty.bin", 200, 0, 0);
        row("empty file range", "GET /v1_empty.bin\r\nRange: bytes=0-", 416);
        row("several ranges", "GET /v1_a.bin\r\nRange: bytes=0-1,5-6", 416);
        row("two range headers", "GET /v1_a.bin\r\nRange: bytes=0-1\r\nRange: bytes=5-6", 416);
        row("backwards range", "GET /v1_a.bin\r\nRange: bytes=5-1", 400);
        row("other unit", "GET /v1_a.bin\r\nRange: items=0-1", 400);
        row("head", "HEAD /v1_a.bin", 200, 0, 0, "Content-Length: 1000");
        row("head range", "HEAD /v1_a.bin\r\nRange: bytes=0-9", 206, 0, 0, "Content-Length: 10");
        row("post", "POST /v1_a.bin\r\nContent-Length: 0", 405, 0, 0, "Allow: GET, HEAD");
        row("not offered", "GET /v1_b.bin", 404, 0, 0);
        row("dot segment", "GET /x/../v1_a.bin", 404, 0, 0);
        row("percent encoded", "GET /v1_%61.bin", 404, 0, 0);
        row("query", "GET /v1_a.bin?x=1", 404, 0, 0);
        row("double slash", "GET //v1_a.bin", 404, 0, 0);
        row("space encoded as clients do", "GET /v1_my%20file.bin\r\nRange: bytes=0-3", 206, 0, 4);
        row("link", "GET /v1_linked.bin", 404, 0, 0);
    }

    void answers() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(int, offset);
        QFETCH(int, length);
        QFETCH(QByteArray, header);
        const int line = request.indexOf("\r\n");
        const QByteArray first = line < 0 ? request : request.left(line);
        const QByteArray rest = line < 0 ? QByteArray() : request.mid(line);
        const Reply reply = exchange(first + " HTTP/1.1\r\nHost: peer" + rest + "\r\n\r\n");
        QCOMPARE(reply.status, status);
        if (length >= 0)
            QCOMPARE(reply.body, content.mid(offset, length));
        if (!header.isEmpty())
            QVERIFY2(reply.head.contains("\r\n" + header + "\r\n"), reply.head.constData());
        QVERIFY(!reply.head.contains("\r\nLocation:"));
    }

    void changedFilesAreWithdrawn() {
        const QString grown = write(QStringLiteral("grown.bin"), content);
        const QString touched = write(QStringLiteral("touched.bin"), content);
        offer(QStringLiteral("v1_grown.bin"), grown);
        offer(QStringLiteral("v1_touched.bin"), touched);
        QCOMPARE(exchange("HEAD /v1_grown.bin HTTP/1.1\r\n\r\n").status, 200);
        const int before = server.offeredCount();

        QFile file(grown);
        QVERIFY(file.open(QIODevice::Append) && file.write("x") == 1);
        file.close();
        QFile other(touched);
        QVERIFY(other.open(QIODevice::ReadWrite));
        QVERIFY(other.setFileTime(QFileInfo(touched).lastModified().addSecs(7),
                                  QFileDevice::FileModificationTime));
        other.close();
        QCOMPARE(exchange("GET /v1_grown.bin HTTP/1.1\r\n\r\n").status, 404);
        QCOMPARE(exchange("GET /v1_touched.bin HTTP/1.1\r\n\r\n").status, 404);
        QCOMPARE(server.offeredCount(), before - 2);
        // Back at its size, it stays withdrawn: it was never checked again.
        QVERIFY(file.resize(content.size()));
        QCOMPARE(exchange("GET /v1_grown.bin HTTP/1.1\r\n\r\n").status, 404);
    }

    void clientsAreBounded() {
        // Outside the subnets: closed without an answer.
        QCOMPARE(exchange("HEAD /v1_a.bin HTTP/1.1\r\n\r\n", QStringLiteral("127.0.0.9")).status, 0);
        for (int i = 2; i <= 5; ++i)
            QCOMPARE(startHeldTransfer(QStringLiteral("127.0.0.%1").arg(i)), 200);
        QCOMPARE(exchange("HEAD /v1_a.bin HTTP/1.1\r\n\r\n", QStringLiteral("127.0.0.6")).status, 503);
        QCOMPARE(startHeldTransfer(QStringLiteral("127.0.0.2")), 200);
        QCOMPARE(startHeldTransfer(QStringLiteral("127.0.0.2")), 503);
        // The first client leaves: its place goes to the next address.
        held[0]->abort();
        held[4]->abort();
        QTRY_COMPARE_WITH_TIMEOUT(
            exchange("HEAD /v1_a.bin HTTP/1.1\r\n\r\n", QStringLiteral("127.0.0.6")).status, 200, 20000);
        held.clear();
        QTRY_COMPARE_WITH_TIMEOUT(
            exchange("HEAD /v1_a.bin HTTP/1.1\r\n\r\n", QStringLiteral("127.0.1.1")).status, 200, 20000);
    }

    void headerFloodIsCut() {
        const QByteArray fill = "X-Fill: " + QByteArray(90, 'a') + "\r\n";
        QCOMPARE(exchange("HEAD /v1_a.bin HTTP/1.1\r\n" + fill.repeated(60) + "\r\n").status, 200);
        const Reply flood = exchange("HEAD /v1_a.bin HTTP/1.1\r\n" + fill.repeated(1000) + "\r\n");
        QVERIFY(flood.status == 0 || (flood.status >= 400 && flood.status < 500));
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
        QTcpSocket late;
        late.connectToHost(Local, port);
        QVERIFY(!late.waitForConnected(5000));
    }
};

QTEST_GUILESS_MAIN(TestLanPeerServer)
#include "tst_lanpeerserver.moc"
