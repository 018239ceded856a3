#pragma once

// In-process HTTP/1.1 server for tests, on 127.0.0.1.
//
//   HttpServer server;
//   server.listen();                                  // port 0: any free port; see port(), url()
//   server.setFile("/cdn/v1_a.zip", bytes);           // or serveDirectory("/cdn/", dir)
//   HttpServer::Faults f; f.failFirst = 2;            // faults per path (and optionally per range start)
//   server.setFaults("/cdn/v1_a.zip", f);
//   ... run the code under test against server.url("/cdn/") ...
//   server.requestsFor("/cdn/v1_a.zip").first().range()   // "bytes=0-4194303"
//
// A stall with stallAfterBytes 0 sends the headers and then nothing.
//
// GET and HEAD of a known path answer 200, or 206 with Content-Range for a single "bytes=a-b",
// "bytes=a-" or "bytes=-n" range (416 when it cannot be satisfied); unknown paths answer 404.
// Other methods (POST, PUT) are recorded with their body and answered 200 with an empty body,
// unless a fault's status says otherwise. Connections are kept alive (HTTP/1.1).
// setFiles() gives successive answers of a path (the last repeats), e.g. a bad then a good file.
// Bodies are written in chunks as the socket drains, so throttling, stalls and resets act in the
// middle of large bodies. Everything runs on the thread that owns the server (no own thread);
// the client under test must therefore be asynchronous (Qt networking is).
//
// Tests whose build constants (cdnBaseUrl, logUrl, ...) must point at the server use
// KV_HTTP_TEST_MAIN or KV_LAUNCHER_TEST_MAIN at the bottom of this header: the one way a test
// picks its port. Tests that start other processes listen on port 0 and hand them url().

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QRandomGenerator>
#include <QString>
#include <memory>

class QTcpServer;
class QTcpSocket;

class HttpServer : public QObject {
    Q_OBJECT
public:
    struct Request {
        int connection = 0; // serial number of the connection it came on (1, 2, ...)
        QByteArray method;
        QByteArray path;                                  // without the query, percent-decoded
        QByteArray target;                                // as sent, query included
        QByteArray version;                               // "HTTP/1.1"
        QHash<QByteArray, QByteArray> headers;            // lower-case names
        QList<QPair<QByteArray, QByteArray>> headerLines; // every header as sent, in order
        QByteArray body;
        qint64 atMs = 0; // when it was read, in milliseconds since the server was made
        QByteArray range() const { return headers.value("range"); }
        // First byte asked for by a "bytes=a-..." range; -1 without one.
        qint64 rangeStart() const;
    };

    struct Faults {
        int status = 0;        // answer with this status and a short text body (0: normal)
        QByteArray location;   // "Location" header of that answer (a redirect with status 301, 302, 307, 308)
        int firstRequests = 0; // these faults hit only the first N matching requests (0: all of them)
        int failFirst = 0;     // answer the first N matching requests with failStatus
        int failStatus = 500;
        bool resetFirst = false;     // the first N (failFirst) are cut after the headers instead
        qint64 resetAfterBytes = -1; // close the connection after this many body bytes
        int delayMs = 0;             // wait this long before answering
        qint64 stallAfterBytes = -1; // after this many body bytes ...
        int stallMs = 0;             // ... send nothing for this long
        qint64 extraBytes = 0;       // send (and announce) this many bytes beyond the range
        bool ignoreRange = false;    // 200 with the whole body whatever the Range header says
        qint64 bytesPerSecond = 0;   // throttle the body (0: as fast as possible)
        bool hold = false;           // keep the answer back until release()
        bool abort = false;          // close the connection at once, without an answer
        bool noLength = false;       // no Content-Length: the body ends when the connection closes
        QByteArray headers;          // more header lines of a 200 or 206, each ending in "\r\n"
        int failPercent = 0;         // answer this share of the requests, drawn at random, with failStatus
        quint32 failSeed = 1;        // ... from a generator seeded with this
    };

    explicit HttpServer(QObject *parent = nullptr);
    ~HttpServer() override;

    bool listen(quint16 port = 0);
    // On another address than 127.0.0.1 (an IPv4 one: url() names it as it is), e.g. a test's own
    // network namespace.
    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    // "http://127.0.0.1:<port>" (or the address listened on) followed by path.
    QString url(const QString &path = QString()) const;

    void setFile(const QByteArray &path, const QByteArray &content);
    // Successive requests of path get the contents in turn; the last one repeats.
    void setFiles(const QByteArray &path, const QList<QByteArray> &contents);
    void removeFile(const QByteArray &path);
    void clearFiles();
    // Paths below prefix ("/cdn/") are looked up as files in dir (no subfolders, no "..").
    void serveDirectory(const QByteArray &prefix, const QString &dir);

    // Faults for requests of path; with rangeStart >= 0 only for requests whose range starts there.
    // The most specific rule wins. Counters (failFirst) belong to the rule and restart when it is set.
    void setFaults(const QByteArray &path, const Faults &faults, qint64 rangeStart = -1);
    void clearFaults();

    // Sends the answers kept back by Faults::hold (all of them, or those of one path / range start).
    int release(const QByteArray &path = QByteArray(), qint64 rangeStart = -1);
    int heldCount() const;

    // An outage: open connections are cut, new ones refused for ms, then it listens on its port
    // again (isListening() tells when it is back).
    void stopFor(int ms);
    bool isListening() const;

    QList<Request> requests() const { return m_requests; }
    QList<Request> requestsFor(const QByteArray &path) const;
    int requestCount(const QByteArray &path = QByteArray()) const;
    void clearRequests() { m_requests.clear(); }
    int connectionCount() const { return m_connectionSerial; }
    // Connections open now (a client that went is seen once the server reads or writes again).
    int openConnectionCount() const { return m_connections.size(); }
    // Body bytes sent so far, over all answers.
    qint64 bodyBytesSent() const { return m_bodyBytesSent; }
    // Milliseconds since the server was made (the clock of Request::atMs).
    qint64 elapsedMs() const { return m_clock.elapsed(); }

    // The port chosen for this test process by KV_HTTP_TEST_MAIN (0 outside such a process).
    static quint16 assignedPort();
    // listen(assignedPort()); if another process took the port meanwhile, the test process ends
    // with PortTakenExitCode and KV_HTTP_TEST_MAIN runs it again on another port.
    bool listenOnAssignedPort();
    static constexpr int PortTakenExitCode = 75;
    // Used by KV_HTTP_TEST_MAIN: in the parent it picks a free port, sets each variable to its
    // pattern with %1 replaced by the port, runs this executable again and returns its exit code.
    // In the child it returns -1.
    static int runChildWithPort(int argc, char **argv, const QList<QPair<QByteArray, QString>> &variables);
    // n distinct ports nothing listens on right now, for servers of other processes (which may
    // find one taken meanwhile and must then fail); empty when there are none.
    static QList<quint16> freePorts(int n);
    // The window's endpoints on the picked port: CDN "/sea/win_update/", event log
    // "/c_bq_log/bq_log", crash upload "/api/crash-logs"; launcher version 0.11, no build mode.
    static QList<QPair<QByteArray, QString>> launcherVariables();

signals:
    void requestReceived(const HttpServer::Request &request);

private:
    struct Connection;
    struct Rule {
        QByteArray path;
        qint64 rangeStart = -1;
        Faults faults;
        int served = 0;
        QRandomGenerator draws; // for failPercent
    };

    void onNewConnection();
    void onReadyRead(Connection *c);
    void handle(Connection *c, const Request &request);
    void pump(Connection *c);
    void finishResponse(Connection *c);
    void closeConnection(Connection *c);
    Rule *ruleFor(const Request &request);
    bool lookup(const QByteArray &path, QByteArray *content, QString *file);

    QTcpServer *m_server;
    QHash<QByteArray, QList<QByteArray>> m_files;
    QHash<QByteArray, int> m_fileServed;
    QList<QPair<QByteArray, QString>> m_dirs;
    QList<Rule> m_rules;
    QList<Request> m_requests;
    QList<Connection *> m_connections;
    int m_connectionSerial = 0;
    qint64 m_bodyBytesSent = 0;
    QElapsedTimer m_clock;
    quint16 m_stoppedPort = 0;
    QHostAddress m_address = QHostAddress(QHostAddress::LocalHost);
};

// main() for a test whose build constants must point at an HttpServer: the parent picks a free
// port and runs the test as a child with the variables set; the child tests and can listen on
// HttpServer::assignedPort(). Each further argument is a pair {"VARIABLE", "pattern with %1"}:
//   KV_HTTP_TEST_MAIN(QCoreApplication, TestDownload,
//                     {"KESTRIVANE_TEST_CDN_BASE_URL", "http://127.0.0.1:%1/cdn/"})
#define KV_HTTP_TEST_MAIN(AppClass, TestClass, ...)                                                          \
    int main(int argc, char **argv) {                                                                        \
        const int parentResult = HttpServer::runChildWithPort(argc, argv, {__VA_ARGS__});                    \
        if (parentResult >= 0)                                                                               \
            return parentResult;                                                                             \
        AppClass app(argc, argv);                                                                            \
        TestClass tc;                                                                                        \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }

// main() of the window tests (QApplication): KV_HTTP_TEST_MAIN with HttpServer::launcherVariables().
#define KV_LAUNCHER_TEST_MAIN(TestClass)                                                                     \
    int main(int argc, char **argv) {                                                                        \
        const int parentResult = HttpServer::runChildWithPort(argc, argv, HttpServer::launcherVariables());  \
        if (parentResult >= 0)                                                                               \
            return parentResult;                                                                             \
        QApplication app(argc, argv);                                                                        \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                             \
        TestClass tc;                                                                                        \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }
