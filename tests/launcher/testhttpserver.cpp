#include "testhttpserver.h"

#include <QDateTime>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
    , m_startMs(QDateTime::currentMSecsSinceEpoch()) {
    connect(m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::listen(quint16 port) {
    return m_server->listen(QHostAddress::LocalHost, port);
}

quint16 TestHttpServer::port() const {
    return m_server->serverPort();
}

qint64 TestHttpServer::elapsedMs() const {
    return QDateTime::currentMSecsSinceEpoch() - m_startMs;
}

void TestHttpServer::setRoute(const QByteArray &path, const Route &route) {
    setRouteSequence(path, {route});
}

void TestHttpServer::setRouteSequence(const QByteArray &path, const QList<Route> &routes) {
    m_routes.insert(path, routes);
    m_served.remove(path);
}

void TestHttpServer::clearRoutes() {
    m_routes.clear();
    m_served.clear();
}

QList<TestHttpServer::Request> TestHttpServer::requestsFor(const QByteArray &path) const {
    QList<Request> result;
    for (const Request &r : m_requests) {
        if (r.path == path)
            result.append(r);
    }
    return result;
}

void TestHttpServer::onNewConnection() {
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket]() {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void TestHttpServer::onReadyRead(QTcpSocket *socket) {
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    for (;;) {
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        Request request;
        request.method = requestLine.value(0);
        request.path = requestLine.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        const int length = request.headers.value("content-length", "0").toInt();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);
        request.atMs = elapsedMs();
        m_requests.append(request);
        answer(socket, request);
        emit requestReceived(request.path);
        if (socket->state() != QAbstractSocket::ConnectedState)
            return;
    }
}

void TestHttpServer::answer(QTcpSocket *socket, const Request &request) {
    Route route;
    route.status = 404;
    route.body = "not found";
    const auto it = m_routes.constFind(request.path);
    if (it != m_routes.constEnd() && !it->isEmpty()) {
        const int n = m_served.value(request.path);
        route = it->at(qMin(n, it->size() - 1));
        m_served.insert(request.path, n + 1);
    }
    if (route.mode == ResetConnection) {
        socket->abort();
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + " X\r\n";
    head += "Content-Type: application/octet-stream\r\n";
    if (route.mode == NoContentLength) {
        head += "Connection: close\r\n\r\n";
        socket->write(head);
        socket->write(route.body);
        socket->disconnectFromHost();
        return;
    }
    const QByteArray length =
        route.contentLength.isEmpty() ? QByteArray::number(route.body.size()) : route.contentLength;
    head += "Content-Length: " + length + "\r\n\r\n";
    socket->write(head);
    if (request.method != "HEAD")
        socket->write(route.body);
}
