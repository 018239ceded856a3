#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// Small HTTP/1.1 server on 127.0.0.1 for the launcher tests: fixed answers per path, a record of
// every request, and a few faults (status codes, reset before the body, a body without length).
class TestHttpServer : public QObject {
    Q_OBJECT
public:
    enum Mode { Normal, ResetConnection, NoContentLength };

    struct Route {
        int status = 200;
        QByteArray body;
        Mode mode = Normal;
        QByteArray contentLength; // overrides the announced length when not empty
    };

    struct Request {
        QByteArray method;
        QByteArray path;
        QByteArray body;
        QHash<QByteArray, QByteArray> headers; // lower-case names
        qint64 atMs = 0;                       // milliseconds since the server started
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    bool listen(quint16 port);
    quint16 port() const;

    void setRoute(const QByteArray &path, const Route &route);
    // Answers for successive requests of a path; the last one repeats.
    void setRouteSequence(const QByteArray &path, const QList<Route> &routes);
    void clearRoutes();

    QList<Request> requests() const { return m_requests; }
    QList<Request> requestsFor(const QByteArray &path) const;
    void clearRequests() { m_requests.clear(); }
    qint64 elapsedMs() const;

signals:
    void requestReceived(const QByteArray &path);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Request &request);

    QTcpServer *m_server;
    QHash<QByteArray, QList<Route>> m_routes;
    QHash<QByteArray, int> m_served;
    QList<Request> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    qint64 m_startMs = 0;
};
