#include "support/httpserver.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <cstdlib>
#include <vector>

namespace {

const char *const PortVariable = "KV_HTTP_TEST_PORT";
constexpr qint64 ChunkSize = 256 * 1024;
constexpr qint64 HighWater = 1024 * 1024; // keep at most this much queued in the socket
constexpr int ThrottleTickMs = 20;
constexpr qint64 MaxRequestHead = 64 * 1024; // refuse larger request heads

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 404:
        return "Not Found";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// Parses a single "bytes=" range against a body of `size` bytes. 0: no usable range header (serve
// everything), 1: range [first, last], -1: not satisfiable.
int parseRange(const QByteArray &header, qint64 size, qint64 *first, qint64 *last) {
    const QByteArray h = header.trimmed();
    if (!h.startsWith("bytes=") || h.contains(','))
        return 0;
    const QByteArray rangeSet = h.mid(6);
    const int dash = rangeSet.indexOf('-');
    if (dash < 0)
        return 0;
    const QByteArray a = rangeSet.left(dash).trimmed();
    const QByteArray b = rangeSet.mid(dash + 1).trimmed();
    bool okA = false;
    bool okB = false;
    if (a.isEmpty()) {
        const qint64 n = b.toLongLong(&okB);
        if (!okB || n <= 0 || size == 0)
            return -1;
        *first = qMax<qint64>(0, size - n);
        *last = size - 1;
        return 1;
    }
    const qint64 from = a.toLongLong(&okA);
    if (!okA || from < 0)
        return 0;
    qint64 to = size - 1;
    if (!b.isEmpty()) {
        to = b.toLongLong(&okB);
        if (!okB || to < from)
            return 0;
    }
    if (from >= size)
        return -1;
    *first = from;
    *last = qMin(to, size - 1);
    return 1;
}

} // namespace

struct HttpServer::Connection {
    int serial = 0;
    QTcpSocket *socket = nullptr;
    QByteArray input;
    QTimer *timer = nullptr;

    // The answer being sent.
    bool busy = false;
    bool held = false;
    QByteArray heldPath;
    qint64 heldRangeStart = -1;
    QByteArray head;
    qint64 headSent = 0;
    QByteArray content;          // body source: bytes in memory ...
    std::unique_ptr<QFile> file; // ... or a file
    qint64 bodyPos = 0;          // next offset in the source
    qint64 bodyEnd = 0;          // one past the last offset to send from the source
    qint64 extraLeft = 0;        // bytes to send beyond the source range
    qint64 bodySent = 0;
    Faults faults;
    bool stalled = false; // the stall has happened
    qint64 tokens = 0;    // throttle allowance
    qint64 resetAt = -1;  // body bytes after which the connection is cut
    bool closeAfter = false;
    bool waitingForTimer = false;
};

qint64 HttpServer::Request::rangeStart() const {
    const QByteArray r = range().trimmed();
    if (!r.startsWith("bytes="))
        return -1;
    const int dash = r.indexOf('-');
    bool ok = false;
    const qint64 v = r.mid(6, dash - 6).toLongLong(&ok);
    return ok ? v : -1;
}

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this)) {
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
    m_clock.start();
}

HttpServer::~HttpServer() {
    for (Connection *c : qAsConst(m_connections)) {
        c->socket->disconnect(this);
        c->socket->abort();
        delete c;
    }
}

bool HttpServer::listen(quint16 port) {
    return m_server->listen(m_address, port);
}

bool HttpServer::listen(const QHostAddress &address, quint16 port) {
    m_address = address;
    return listen(port);
}

quint16 HttpServer::port() const {
    return m_server->isListening() ? m_server->serverPort() : m_stoppedPort;
}

bool HttpServer::isListening() const {
    return m_server->isListening();
}

void HttpServer::stopFor(int ms) {
    if (!m_server->isListening())
        return;
    m_stoppedPort = m_server->serverPort();
    m_server->close();
    const QList<Connection *> open = m_connections;
    for (Connection *c : open)
        closeConnection(c);
    QTimer::singleShot(ms, this, [this] {
        if (!listen(m_stoppedPort))
            qWarning() << "test server cannot listen again on" << m_stoppedPort << m_server->errorString();
    });
}

QString HttpServer::url(const QString &path) const {
    return QStringLiteral("http://%1:%2%3").arg(m_address.toString()).arg(port()).arg(path);
}

void HttpServer::setFile(const QByteArray &path, const QByteArray &content) {
    setFiles(path, {content});
}

void HttpServer::setFiles(const QByteArray &path, const QList<QByteArray> &contents) {
    m_files.insert(path, contents);
    m_fileServed.remove(path);
}

void HttpServer::removeFile(const QByteArray &path) {
    m_files.remove(path);
    m_fileServed.remove(path);
}

void HttpServer::clearFiles() {
    m_files.clear();
    m_fileServed.clear();
}

void HttpServer::serveDirectory(const QByteArray &prefix, const QString &dir) {
    m_dirs.append({prefix, dir});
}

void HttpServer::setFaults(const QByteArray &path, const Faults &faults, qint64 rangeStart) {
    for (Rule &r : m_rules) {
        if (r.path == path && r.rangeStart == rangeStart) {
            r.faults = faults;
            r.served = 0;
            r.draws.seed(faults.failSeed);
            return;
        }
    }
    Rule r;
    r.path = path;
    r.rangeStart = rangeStart;
    r.faults = faults;
    r.draws.seed(faults.failSeed);
    m_rules.append(r);
}

void HttpServer::clearFaults() {
    m_rules.clear();
}

int HttpServer::release(const QByteArray &path, qint64 rangeStart) {
    int n = 0;
    const QList<Connection *> connections = m_connections;
    for (Connection *c : connections) {
        if (!c->held)
            continue;
        if (!path.isEmpty() && c->heldPath != path)
            continue;
        if (rangeStart >= 0 && c->heldRangeStart != rangeStart)
            continue;
        c->held = false;
        ++n;
        pump(c);
    }
    return n;
}

int HttpServer::heldCount() const {
    int n = 0;
    for (const Connection *c : m_connections)
        n += c->held ? 1 : 0;
    return n;
}

QList<HttpServer::Request> HttpServer::requestsFor(const QByteArray &path) const {
    QList<Request> out;
    for (const Request &r : m_requests) {
        if (r.path == path)
            out.append(r);
    }
    return out;
}

int HttpServer::requestCount(const QByteArray &path) const {
    return path.isEmpty() ? m_requests.size() : requestsFor(path).size();
}

void HttpServer::onNewConnection() {
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto *c = new Connection;
        c->serial = ++m_connectionSerial;
        c->socket = socket;
        c->timer = new QTimer(socket);
        c->timer->setSingleShot(true);
        m_connections.append(c);
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadyRead(c); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, c] { pump(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] { closeConnection(c); });
        connect(c->timer, &QTimer::timeout, this, [this, c] {
            c->waitingForTimer = false;
            pump(c);
        });
    }
}

void HttpServer::closeConnection(Connection *c) {
    if (!m_connections.removeOne(c))
        return;
    c->socket->disconnect(this);
    c->timer->stop();
    c->socket->abort();
    c->socket->deleteLater();
    delete c;
}

void HttpServer::onReadyRead(Connection *c) {
    c->input += c->socket->readAll();
    while (!c->busy) {
        const int headEnd = c->input.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (c->input.size() > MaxRequestHead)
                closeConnection(c);
            return;
        }
        const QList<QByteArray> lines = c->input.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        Request request;
        request.connection = c->serial;
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        request.version = requestLine.value(2);
        request.atMs = m_clock.elapsed();
        const int q = request.target.indexOf('?');
        request.path = QUrl::fromPercentEncoding(q < 0 ? request.target : request.target.left(q)).toUtf8();
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = lines.at(i).left(colon).trimmed().toLower();
            const QByteArray value = lines.at(i).mid(colon + 1).trimmed();
            request.headers.insert(name, value);
            request.headerLines.append({name, value});
        }
        const qint64 bodyLength = request.headers.value("content-length", "0").toLongLong();
        if (c->input.size() < headEnd + 4 + bodyLength)
            return; // wait for the rest of the body
        request.body = c->input.mid(headEnd + 4, int(bodyLength));
        c->input.remove(0, int(headEnd + 4 + bodyLength));
        m_requests.append(request);
        emit requestReceived(request);
        if (!m_connections.contains(c))
            return;
        handle(c, request);
        if (!m_connections.contains(c))
            return;
    }
}

HttpServer::Rule *HttpServer::ruleFor(const Request &request) {
    Rule *best = nullptr;
    const qint64 start = request.rangeStart();
    for (Rule &r : m_rules) {
        if (r.path != request.path)
            continue;
        if (r.rangeStart >= 0 && r.rangeStart != start)
            continue;
        if (!best || (best->rangeStart < 0 && r.rangeStart >= 0))
            best = &r;
    }
    return best;
}

bool HttpServer::lookup(const QByteArray &path, QByteArray *content, QString *file) {
    const auto it = m_files.constFind(path);
    if (it != m_files.constEnd() && !it->isEmpty()) {
        int &served = m_fileServed[path];
        *content = it->at(qMin(served, it->size() - 1));
        ++served;
        return true;
    }
    for (const auto &d : m_dirs) {
        if (!path.startsWith(d.first))
            continue;
        const QString name = QString::fromUtf8(path.mid(d.first.size()));
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
            name == QLatin1String("..") || name == QLatin1String("."))
            continue;
        const QString full = QDir(d.second).filePath(name);
        if (QFileInfo(full).isFile()) {
            *file = full;
            return true;
        }
    }
    return false;
}

void HttpServer::handle(Connection *c, const Request &request) {
    c->busy = true;
    c->head.clear();
    c->headSent = 0;
    c->content.clear();
    c->file.reset();
    c->bodyPos = 0;
    c->bodyEnd = 0;
    c->extraLeft = 0;
    c->bodySent = 0;
    c->stalled = false;
    c->tokens = 0;
    c->resetAt = -1;
    c->closeAfter = request.headers.value("connection").toLower() == "close";
    c->faults = Faults();
    c->held = false;
    c->heldPath = request.path;
    c->heldRangeStart = request.rangeStart();

    Rule *rule = ruleFor(request);
    const int servedBefore = rule ? rule->served++ : 0;
    if (rule && (rule->faults.firstRequests <= 0 || servedBefore < rule->faults.firstRequests))
        c->faults = rule->faults;
    const Faults &f = c->faults;

    int status = 200;
    QByteArray extraHeaders;
    qint64 size = 0;
    const bool isGet = request.method == "GET" || request.method == "HEAD";

    if (f.abort) {
        closeConnection(c);
        return;
    }
    const bool unlucky = rule && f.failPercent > 0 && int(rule->draws.bounded(100)) < f.failPercent;
    if (rule && (servedBefore < f.failFirst || unlucky)) {
        if (f.resetFirst) {
            c->resetAt = 0;
            status = 200;
            size = 1; // announce a body that never comes
            c->head = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n";
        } else {
            status = f.failStatus;
        }
    } else if (f.status) {
        status = f.status;
        if (!f.location.isEmpty())
            extraHeaders += "Location: " + f.location + "\r\n";
    }

    if (c->head.isEmpty()) {
        if (status == 200 && isGet) {
            QString fileName;
            if (!lookup(request.path, &c->content, &fileName)) {
                status = 404;
            } else {
                if (!fileName.isEmpty()) {
                    c->file.reset(new QFile(fileName));
                    if (!c->file->open(QIODevice::ReadOnly))
                        status = 404;
                    size = c->file->size();
                } else {
                    size = c->content.size();
                }
            }
            if (status == 200) {
                qint64 first = 0;
                qint64 last = size - 1;
                const int r = f.ignoreRange ? 0 : parseRange(request.range(), size, &first, &last);
                if (r < 0) {
                    status = 416;
                    extraHeaders += "Content-Range: bytes */" + QByteArray::number(size) + "\r\n";
                    c->file.reset();
                    c->content.clear();
                } else {
                    if (r > 0) {
                        status = 206;
                        extraHeaders += "Content-Range: bytes " + QByteArray::number(first) + '-' +
                                        QByteArray::number(last) + '/' + QByteArray::number(size) + "\r\n";
                    }
                    extraHeaders += f.headers;
                    c->bodyPos = first;
                    c->bodyEnd = last + 1;
                    c->extraLeft = f.extraBytes;
                    if (c->file)
                        c->file->seek(first);
                }
            }
        }
        if (status != 200 && status != 206) {
            c->file.reset();
            c->content = reasonPhrase(status) + '\n';
            c->bodyPos = 0;
            c->bodyEnd = c->content.size();
            c->extraLeft = 0;
        } else if (!isGet) {
            c->content.clear();
            c->bodyPos = c->bodyEnd = 0;
        }
        if (request.method == "HEAD") {
            // Announce the length, send no body.
            const qint64 announced = c->bodyEnd - c->bodyPos + c->extraLeft;
            c->head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n" +
                      "Content-Length: " + QByteArray::number(announced) + "\r\n" + extraHeaders +
                      "Accept-Ranges: bytes\r\n\r\n";
            c->bodyPos = c->bodyEnd = 0;
            c->extraLeft = 0;
        } else if (f.noLength) {
            c->head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n" +
                      "Content-Type: application/octet-stream\r\n" + extraHeaders +
                      "Connection: close\r\n\r\n";
            c->closeAfter = true;
        } else {
            c->head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n" +
                      "Content-Type: application/octet-stream\r\n" +
                      "Content-Length: " + QByteArray::number(c->bodyEnd - c->bodyPos + c->extraLeft) +
                      "\r\n" + extraHeaders + "Accept-Ranges: bytes\r\n" +
                      (c->closeAfter ? "Connection: close\r\n" : "") + "\r\n";
        }
        if (f.resetAfterBytes >= 0)
            c->resetAt = f.resetAfterBytes;
    }

    if (f.hold)
        c->held = true;
    if (f.delayMs > 0) {
        c->waitingForTimer = true;
        c->timer->start(f.delayMs);
    }
    pump(c);
}

void HttpServer::pump(Connection *c) {
    if (!c->busy || c->held || c->waitingForTimer)
        return;
    QTcpSocket *s = c->socket;
    while (s->bytesToWrite() < HighWater) {
        if (c->headSent < c->head.size()) {
            s->write(c->head.constData() + c->headSent, c->head.size() - c->headSent);
            c->headSent = c->head.size();
            continue;
        }
        const qint64 left = (c->bodyEnd - c->bodyPos) + c->extraLeft;
        if (c->resetAt >= 0 && c->bodySent >= c->resetAt) {
            // Cut the connection once what was allowed has left the socket.
            if (s->bytesToWrite() == 0) {
                s->flush();
                closeConnection(c);
            }
            return;
        }
        if (left == 0) {
            finishResponse(c);
            return;
        }
        if (c->faults.stallMs > 0 && !c->stalled && c->faults.stallAfterBytes >= 0 &&
            c->bodySent >= c->faults.stallAfterBytes) {
            c->stalled = true;
            c->waitingForTimer = true;
            c->timer->start(c->faults.stallMs);
            return;
        }
        qint64 n = qMin(left, ChunkSize);
        if (c->resetAt >= 0)
            n = qMin(n, c->resetAt - c->bodySent);
        if (c->faults.stallMs > 0 && !c->stalled && c->faults.stallAfterBytes > c->bodySent)
            n = qMin(n, c->faults.stallAfterBytes - c->bodySent);
        if (c->faults.bytesPerSecond > 0) {
            if (c->tokens <= 0) {
                c->tokens += qMax<qint64>(1, c->faults.bytesPerSecond * ThrottleTickMs / 1000);
                c->waitingForTimer = true;
                c->timer->start(ThrottleTickMs);
                return;
            }
            n = qMin(n, c->tokens);
            c->tokens -= n;
        }
        QByteArray chunk;
        if (c->bodyPos < c->bodyEnd) {
            n = qMin(n, c->bodyEnd - c->bodyPos);
            if (c->file) {
                chunk = c->file->read(n);
                if (chunk.size() != n) {
                    closeConnection(c);
                    return;
                }
            } else {
                chunk = QByteArray::fromRawData(c->content.constData() + c->bodyPos, int(n));
            }
            c->bodyPos += n;
        } else {
            n = qMin(n, c->extraLeft);
            chunk = QByteArray(int(n), 'X');
            c->extraLeft -= n;
        }
        s->write(chunk);
        c->bodySent += n;
        m_bodyBytesSent += n;
    }
}

void HttpServer::finishResponse(Connection *c) {
    c->busy = false;
    c->file.reset();
    c->content.clear();
    if (c->closeAfter) {
        c->socket->disconnectFromHost();
        return;
    }
    // Requests that arrived while answering.
    if (!c->input.isEmpty())
        QTimer::singleShot(0, this, [this, c] {
            if (m_connections.contains(c))
                onReadyRead(c);
        });
}

quint16 HttpServer::assignedPort() {
    return quint16(qEnvironmentVariableIntValue(PortVariable));
}

bool HttpServer::listenOnAssignedPort() {
    const quint16 port = assignedPort();
    if (port == 0)
        return listen(0);
    if (listen(port))
        return true;
    qWarning("port %u was taken, starting again on another one", unsigned(port));
    std::exit(PortTakenExitCode);
}

QList<quint16> HttpServer::freePorts(int n) {
    QList<quint16> ports;
    std::vector<std::unique_ptr<QTcpServer>> probes;
    for (int i = 0; i < n; ++i) {
        probes.push_back(std::make_unique<QTcpServer>());
        if (!probes.back()->listen(QHostAddress::LocalHost, 0))
            return {};
        ports.append(probes.back()->serverPort());
    }
    return ports;
}

QList<QPair<QByteArray, QString>> HttpServer::launcherVariables() {
    return {{"KESTRIVANE_TEST_CDN_BASE_URL", QStringLiteral("http://127.0.0.1:%1/sea/win_update/")},
            {"KESTRIVANE_TEST_LOG_URL", QStringLiteral("http://127.0.0.1:%1/c_bq_log/bq_log")},
            {"KESTRIVANE_TEST_CRASH_UPLOAD_URL", QStringLiteral("http://127.0.0.1:%1/api/crash-logs")},
            {"KESTRIVANE_TEST_LAUNCHER_VERSION", QStringLiteral("0.11")},
            {"KESTRIVANE_TEST_BUILD_MODE", QString()}};
}

int HttpServer::runChildWithPort(int argc, char **argv, const QList<QPair<QByteArray, QString>> &variables) {
    if (assignedPort() != 0)
        return -1;
    QCoreApplication app(argc, argv);
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    // A port found free here could be taken before the child binds it; try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const QList<quint16> free = freePorts(1);
        if (free.isEmpty()) {
            qCritical("no free port on 127.0.0.1");
            return 1;
        }
        const quint16 port = free.first();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(PortVariable), QString::number(port));
        // Hermetic: the machine's NetworkManager may call its connection metered, and the downloads
        // would wait. A test of that brings a system bus of its own.
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                   QStringLiteral("unix:path=/nonexistent/kv-test-system-bus"));
        for (const auto &v : variables)
            env.insert(QString::fromLatin1(v.first),
                       v.second.contains(QLatin1String("%1")) ? v.second.arg(port) : v.second);
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), args);
        if (!child.waitForStarted(30000))
            return 1;
        child.waitForFinished(-1);
        if (child.exitStatus() != QProcess::NormalExit)
            return 1;
        if (child.exitCode() != PortTakenExitCode)
            return child.exitCode();
    }
    return 1;
}
