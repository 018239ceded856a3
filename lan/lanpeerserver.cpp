#include "lan/lanpeerserver.h"

#include "lan/lanpeerrequest.h"
#include "platform/platform.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QPair>
#include <QTcpServer>
#include <QUrl>
#include <QVector>
#include <QWaitCondition>

#include <civetweb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

namespace {

// A transfer looks at the stop flag between writes of at most this many bytes.
constexpr qint64 ChunkBytes = 64 * 1024;
// At most one line about refused clients this often, however many there are.
constexpr qint64 RefusalLogIntervalMs = 10000;
// Eight connections served and a few more to turn the rest away without making them wait.
constexpr int WorkerThreads = LanPeerServer::MaxClients * LanPeerServer::MaxConnections + 8;

// The name as a client sends it: the path a URL with that name below the server's root carries.
QByteArray requestName(const QString &name) {
    QUrl url;
    url.setPath(QLatin1Char('/') + name, QUrl::DecodedMode);
    return url.path(QUrl::FullyEncoded).toLatin1().mid(1);
}

// "+net/prefix" for civetweb's access list: the address with the host bits cleared.
QByteArray aclEntry(const LanSubnet &subnet) {
    const int prefix = subnet.prefixLength;
    if (subnet.address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 mask = prefix <= 0 ? 0u : prefix >= 32 ? ~0u : ~0u << (32 - prefix);
        const QHostAddress net(subnet.address.toIPv4Address() & mask);
        return "+" + net.toString().toLatin1() + "/" + QByteArray::number(qBound(0, prefix, 32));
    }
    Q_IPV6ADDR bytes = subnet.address.toIPv6Address();
    for (int i = 0; i < 16; ++i) {
        const int keep = qBound(0, prefix - 8 * i, 8);
        bytes[i] &= quint8(0xff00 >> keep);
    }
    return "+[" + QHostAddress(bytes).toString().toLatin1() + "]/" +
           QByteArray::number(qBound(0, prefix, 128));
}

void initLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mg_init_library(0); });
}

} // namespace

struct LanPeerServer::Private {
    mutable QMutex mutex;
    QHash<QByteArray, Offered> table; // by the name as a request carries it
    QHash<QString, int> clients;      // address -> requests being answered
    QWaitCondition slotFreed;
    LanSubnets subnets;
    qint64 refusalsUnlogged = 0;
    QElapsedTimer lastRefusalLog;

    void noteRefusal(const QByteArray &what);
    bool takeClientSlot(const QString &address);
    void releaseClientSlot(const QString &address);
    qint64 openOffered(const QByteArray &name, QFile *file);
    int answer(mg_connection *conn, const std::atomic<bool> &stopping);
    bool sendBody(mg_connection *conn, QFile *file, qint64 offset, qint64 length,
                  const std::atomic<bool> &stopping);
};

// One listening run: what civetweb's callbacks reach. civetweb lets go of it only when mg_stop has
// joined its threads, which Debian's build does up to 2 s after the transfers ended, so mg_stop runs
// on a thread of its own and the run keeps the shared state alive until then.
struct LanPeerServer::Run {
    std::shared_ptr<Private> d;
    std::atomic<bool> stopping{false};
    mg_context *context = nullptr;

    static Run *of(const mg_connection *conn) {
        const mg_context *context = conn ? mg_get_context(conn) : nullptr;
        return context ? static_cast<Run *>(mg_get_user_data(context)) : nullptr;
    }
    bool startOn(const QByteArrayList &listen, const QByteArray &acl, QString *why);
};

void LanPeerServer::Private::noteRefusal(const QByteArray &what) {
    QMutexLocker lock(&mutex);
    ++refusalsUnlogged;
    if (lastRefusalLog.isValid() && lastRefusalLog.elapsed() < RefusalLogIntervalMs)
        return;
    qWarning().noquote() << "lan server refused a client:" << QString::fromLatin1(what)
                         << "(refusals since the last line:" << refusalsUnlogged << ")";
    refusalsUnlogged = 0;
    lastRefusalLog.start();
}

bool LanPeerServer::Private::takeClientSlot(const QString &address) {
    QMutexLocker lock(&mutex);
    // A client that received the last byte of an answer may ask again before this side has ended
    // that answer: it waits a moment for its slot rather than being turned away as too many.
    const QDeadlineTimer deadline(SlotWaitMs);
    for (;;) {
        auto it = clients.find(address);
        if (it == clients.end()) {
            if (clients.size() >= MaxClients)
                return false;
            it = clients.insert(address, 0);
        }
        if (*it < MaxConnections) {
            ++*it;
            return true;
        }
        if (!slotFreed.wait(&mutex, deadline))
            return false;
    }
}

void LanPeerServer::Private::releaseClientSlot(const QString &address) {
    QMutexLocker lock(&mutex);
    const auto it = clients.find(address);
    if (it != clients.end() && --*it <= 0)
        clients.erase(it);
    slotFreed.wakeAll();
}

// Opens the file offered under `name` when it is still what was offered; a file that changed or
// cannot be opened as a plain file is withdrawn. Its size, or LanPeerRequest::NotOffered.
qint64 LanPeerServer::Private::openOffered(const QByteArray &name, QFile *file) {
    Offered offered;
    {
        QMutexLocker lock(&mutex);
        const auto it = table.constFind(name);
        if (it == table.constEnd())
            return LanPeerRequest::NotOffered;
        offered = *it;
    }
    QString why;
    if (Platform::openPlainFile(file, offered.path, QIODevice::ReadOnly, &why)) {
        const qint64 size = file->size();
        const qint64 modified = file->fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
        if (size == offered.size && modified == offered.modifiedMs)
            return size;
        why = QStringLiteral("it is now %1 bytes, modified at %2 ms, not %3 bytes at %4 ms")
                  .arg(size)
                  .arg(modified)
                  .arg(offered.size)
                  .arg(offered.modifiedMs);
        file->close();
    }
    qWarning() << "lan server withdraws a file" << offered.path << why;
    QMutexLocker lock(&mutex);
    const auto it = table.find(name);
    if (it != table.end() && it->path == offered.path && it->size == offered.size &&
        it->modifiedMs == offered.modifiedMs)
        table.erase(it);
    return LanPeerRequest::NotOffered;
}

bool LanPeerServer::Private::sendBody(mg_connection *conn, QFile *file, qint64 offset, qint64 length,
                                      const std::atomic<bool> &stopping) {
    if (!file->seek(offset))
        return false;
    QByteArray buffer(int(qMin(ChunkBytes, length)), Qt::Uninitialized);
    QElapsedTimer progress;
    progress.start();
    while (length > 0) {
        const qint64 n = file->read(buffer.data(), qMin<qint64>(buffer.size(), length));
        if (n <= 0) {
            qWarning() << "lan server cannot read an offered file" << file->fileName() << file->errorString();
            return false;
        }
        for (qint64 at = 0; at < n;) {
            if (stopping)
                return false;
            QElapsedTimer call;
            call.start();
            const int written = mg_write(conn, buffer.constData() + at, size_t(n - at));
            if (written > 0) {
                at += written;
                progress.restart();
                continue;
            }
            // A write the client refused returns at once; one that timed out waited for the socket.
            if (call.elapsed() < HeaderTimeoutMs / 10 || progress.elapsed() >= IdleTimeoutMs)
                return false;
        }
        length -= n;
    }
    return true;
}

int LanPeerServer::Private::answer(mg_connection *conn, const std::atomic<bool> &stopping) {
    const mg_request_info *request = mg_get_request_info(conn);
    if (!request)
        return 500;
    if (stopping) {
        mg_send_http_error(conn, 503, "%s", "Not serving");
        return 503;
    }
    const QString address = QString::fromLatin1(request->remote_addr);
    if (!subnetsContain(subnets, QHostAddress(address))) {
        // The access list refuses them first; this is the same rule once more.
        noteRefusal("outside the subnets " + address.toLatin1());
        mg_send_http_error(conn, 403, "%s", "Not served");
        return 403;
    }
    if (!takeClientSlot(address)) {
        noteRefusal("too many clients or connections " + address.toLatin1());
        mg_send_http_error(conn, 503, "%s", "Busy");
        return 503;
    }

    QByteArray target(request->request_uri ? request->request_uri : "");
    if (request->query_string)
        target += '?' + QByteArray(request->query_string);
    QByteArrayList ranges;
    for (int i = 0; i < request->num_headers; ++i) {
        if (qstricmp(request->http_headers[i].name, "Range") == 0)
            ranges << QByteArray(request->http_headers[i].value);
    }
    const LanPeerRequest decision(request->request_method, target, ranges);
    QFile file;
    const qint64 size =
        decision.name().isEmpty() ? LanPeerRequest::NotOffered : openOffered(decision.name(), &file);
    const LanPeerRequest::Answer a = decision.answer(size);

    mg_response_header_start(conn, a.status);
    const bool served = a.status == 200 || a.status == 206;
    if (a.status == 405)
        mg_response_header_add(conn, "Allow", "GET, HEAD", -1);
    if (a.status == 416)
        mg_response_header_add(conn, "Content-Range", "bytes */" + QByteArray::number(a.size), -1);
    if (served) {
        mg_response_header_add(conn, "Content-Type", "application/octet-stream", -1);
        mg_response_header_add(conn, "Accept-Ranges", "bytes", -1);
    }
    if (a.status == 206) {
        const QByteArray range = "bytes " + QByteArray::number(a.offset) + "-" +
                                 QByteArray::number(a.offset + a.length - 1) + "/" +
                                 QByteArray::number(a.size);
        mg_response_header_add(conn, "Content-Range", range.constData(), -1);
    }
    mg_response_header_add(conn, "Content-Length", QByteArray::number(served ? a.length : 0).constData(), -1);
    mg_response_header_send(conn);
    if (a.body)
        sendBody(conn, &file, a.offset, a.length, stopping);
    releaseClientSlot(address);
    return a.status;
}

bool LanPeerServer::Run::startOn(const QByteArrayList &listen, const QByteArray &acl, QString *why) {
    const QByteArray ports = listen.join(',');
    // Keep-alive off: one request per connection, so a transfer cut short always ends its connection.
    const QList<QPair<const char *, QByteArray>> settings = {
        {"listening_ports", ports},
        {"num_threads", QByteArray::number(WorkerThreads)},
        {"connection_queue", "16"},
        {"listen_backlog", "32"},
        {"max_request_size", QByteArray::number(MaxHeaderBytes)},
        {"request_timeout_ms", QByteArray::number(HeaderTimeoutMs)},
        {"enable_keep_alive", "no"},
        {"decode_url", "no"},
        {"access_control_list", acl},
    };
    QVector<const char *> options;
    for (const auto &setting : settings)
        options << setting.first << setting.second.constData();
    options << nullptr;
    mg_callbacks callbacks{};
    callbacks.begin_request = [](mg_connection *conn) {
        Run *run = Run::of(conn);
        return run ? run->d->answer(conn, run->stopping) : 500;
    };
    callbacks.log_message = [](const mg_connection *conn, const char *message) {
        Run *run = Run::of(conn);
        const QByteArray text(message);
        if (run && text.contains("not allowed to connect"))
            run->d->noteRefusal(text);
        else
            qWarning().noquote() << "lan server:" << QString::fromLocal8Bit(text);
        return 1;
    };
    char error[256] = {};
    mg_error_data errorData{};
    errorData.text = error;
    errorData.text_buffer_size = sizeof error;
    mg_init_data init{};
    init.callbacks = &callbacks;
    init.user_data = this;
    init.configuration_options = options.data();
    context = mg_start2(&init, &errorData);
    if (!context && why)
        *why = QStringLiteral("cannot listen on %1: %2")
                   .arg(QString::fromLatin1(ports), QString::fromLocal8Bit(error));
    return context != nullptr;
}

LanPeerServer::LanPeerServer(QObject *parent)
    : QObject(parent)
    , d(std::make_shared<Private>()) {}

LanPeerServer::~LanPeerServer() {
    stop();
    for (std::future<void> &stopper : stoppers)
        stopper.wait();
}

void LanPeerServer::offer(const QString &name, const Offered &file) {
    const QByteArray key = requestName(name);
    if (LanPeerRequest("GET", '/' + key, {}).name() != key) {
        qWarning() << "lan server refuses to offer a name" << name;
        return;
    }
    QMutexLocker lock(&d->mutex);
    d->table.insert(key, file);
}

void LanPeerServer::withdrawAll() {
    QMutexLocker lock(&d->mutex);
    d->table.clear();
}

int LanPeerServer::offeredCount() const {
    QMutexLocker lock(&d->mutex);
    return d->table.size();
}

bool LanPeerServer::start(const LanSubnets &subnets, quint16 port, QString *why) {
    stop();
    // A run let go may still hold the port asked for.
    if (port != 0) {
        for (std::future<void> &stopper : stoppers)
            stopper.wait();
    }
    initLibrary();
    QByteArrayList ipv4;
    QByteArrayList acl;
    bool ipv6 = false;
    for (const LanSubnet &subnet : subnets) {
        if (subnet.address.protocol() == QAbstractSocket::IPv4Protocol) {
            const QByteArray address = subnet.address.toString().toLatin1();
            if (!ipv4.contains(address))
                ipv4 << address;
        } else if (subnet.address.protocol() == QAbstractSocket::IPv6Protocol &&
                   mg_check_feature(MG_FEATURES_IPV6)) {
            ipv6 = true;
        } else {
            continue;
        }
        acl << aclEntry(subnet);
    }
    if (acl.isEmpty()) {
        if (why)
            *why = QStringLiteral("no subnet to serve");
        qWarning() << "lan server cannot start: no subnet to serve";
        return false;
    }
    const auto listenOn = [&](quint16 p) {
        QByteArrayList listen;
        for (const QByteArray &address : ipv4)
            listen << address + ':' + QByteArray::number(p);
        if (ipv6)
            listen << "[::]:" + QByteArray::number(p);
        return listen;
    };
    {
        QMutexLocker lock(&d->mutex);
        d->subnets = subnets;
    }
    QString reason;
    QByteArrayList listen = listenOn(port);
    // On a free port: the first address picks it, then every address listens on that one.
    if (port == 0 && listen.size() > 1) {
        QTcpServer probe;
        if (probe.listen(QHostAddress(QString::fromLatin1(ipv4.value(0, "::"))), 0))
            listen = listenOn(probe.serverPort());
    }
    auto started = std::make_unique<Run>();
    started->d = d;
    if (!started->startOn(listen, acl.join(','), &reason)) {
        qWarning() << "lan server cannot start" << reason;
        if (why)
            *why = reason;
        return false;
    }
    run = std::move(started);
    mg_server_port ports[1] = {};
    listeningPort = mg_get_server_ports(run->context, 1, ports) >= 1 ? quint16(ports[0].port) : 0;
    qInfo().noquote() << "lan server listening on port" << listeningPort << "for"
                      << QString::fromLatin1(acl.join(','));
    return true;
}

quint16 LanPeerServer::port() const {
    return run ? listeningPort : 0;
}

bool LanPeerServer::isRunning() const {
    return run != nullptr;
}

void LanPeerServer::stop() {
    if (!run)
        return;
    // Transfers see the flag within one chunk and end their connections; new requests get 503
    // until the listening sockets close.
    run->stopping = true;
    letGo(std::move(run));
    listeningPort = 0;
    QMutexLocker lock(&d->mutex);
    d->clients.clear();
    qInfo() << "lan server stopped serving";
}

void LanPeerServer::letGo(std::unique_ptr<Run> stopped) {
    stoppers.erase(std::remove_if(stoppers.begin(), stoppers.end(),
                                  [](const std::future<void> &f) {
                                      return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
                                  }),
                   stoppers.end());
    if (!stopped->context)
        return;
    stoppers.push_back(std::async(std::launch::async, [r = std::shared_ptr<Run>(std::move(stopped))] {
        QElapsedTimer stopping;
        stopping.start();
        mg_stop(r->context);
        r->context = nullptr;
        if (stopping.elapsed() > 1000)
            qInfo() << "lan server closed its sockets in" << stopping.elapsed() << "ms";
    }));
}
