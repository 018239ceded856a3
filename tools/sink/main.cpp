// kv-sink: the local stand-in for the launcher's event-log and crash-upload servers.
#include "tools/sink/crashstore.h"
#include "tools/sink/eventlog.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

const char *const usage = R"(Usage: kv-sink --out DIR [options]

Plays the two endpoints the launcher posts to:
  POST /c_bq_log/bq_log   each body is appended as one line to DIR/events.jsonl
                          (empty bodies, bodies with a line break and bodies over 1 MiB are refused)
  POST /api/crash-logs    multipart form; upload n is stored in DIR/crash/<n>/ with every part saved
                          byte-exact as "<index>_<name>" and DIR/crash/<n>/summary.json written last

Options:
  --out DIR              output folder (created if missing)
  --log-port N|off       event-log port (default 8081; 0 picks a free port)
  --crash-port N|off     crash-upload port (default 8329; 0 picks a free port)
  --bind ADDR            address to listen on (default 127.0.0.1)
  --port-file FILE       write the ports in use as "log=N" and "crash=N" lines once listening
  --crash-delay-ms N     wait N ms after storing an upload before answering (slow or silent server)
  --crash-status N       HTTP status answered for stored uploads (default 200)
  --log-status N         HTTP status answered for stored events (default 200)
  --max-request-bytes N  largest request body accepted (default 268435456)
  --help                 this text

Stops on SIGTERM or SIGINT.
)";

struct Options {
    std::string out;
    std::string bind = "127.0.0.1";
    std::string portFile;
    int logPort = 8081;   // -1: not served
    int crashPort = 8329; // -1: not served
    long crashDelayMs = 0;
    int crashStatus = 200;
    int logStatus = 200;
    size_t maxRequestBytes = 256u * 1024 * 1024;
};

bool parseNumber(const std::string &text, long long min, long long max, long long *out) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long long v = std::stoll(text);
    if (v < min || v > max)
        return false;
    *out = v;
    return true;
}

bool parsePort(const std::string &text, int *out) {
    if (text == "off") {
        *out = -1;
        return true;
    }
    long long v = 0;
    if (!parseNumber(text, 0, 65535, &v))
        return false;
    *out = static_cast<int>(v);
    return true;
}

// 0: ok, 1: help printed, 2: bad usage
int parseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 1;
        }
        if (i + 1 >= argc) {
            std::cerr << "kv-sink: " << arg << " needs a value (see --help)\n";
            return 2;
        }
        const std::string value = argv[++i];
        long long n = 0;
        bool ok = true;
        if (arg == "--out") {
            o->out = value;
        } else if (arg == "--bind") {
            o->bind = value;
        } else if (arg == "--port-file") {
            o->portFile = value;
        } else if (arg == "--log-port") {
            ok = parsePort(value, &o->logPort);
        } else if (arg == "--crash-port") {
            ok = parsePort(value, &o->crashPort);
        } else if (arg == "--crash-delay-ms") {
            ok = parseNumber(value, 0, 24LL * 3600 * 1000, &n);
            o->crashDelayMs = static_cast<long>(n);
        } else if (arg == "--crash-status" || arg == "--log-status") {
            ok = parseNumber(value, 100, 599, &n);
            (arg == "--crash-status" ? o->crashStatus : o->logStatus) = static_cast<int>(n);
        } else if (arg == "--max-request-bytes") {
            ok = parseNumber(value, 1, 1LL << 40, &n);
            o->maxRequestBytes = static_cast<size_t>(n);
        } else {
            std::cerr << "kv-sink: unknown option " << arg << " (see --help)\n";
            return 2;
        }
        if (!ok) {
            std::cerr << "kv-sink: bad value for " << arg << ": " << value << "\n";
            return 2;
        }
    }
    if (o->out.empty()) {
        std::cerr << "kv-sink: --out DIR is required (see --help)\n";
        return 2;
    }
    if (o->logPort < 0 && o->crashPort < 0) {
        std::cerr << "kv-sink: both endpoints are off, nothing to serve\n";
        return 2;
    }
    return 0;
}

// Interruptible pause, so a stop does not wait for a slow answer to finish.
std::mutex g_stopMutex;
std::condition_variable g_stopCv;
bool g_stopping = false;

// Requests inside a handler; the stop waits for them, not for idle kept-alive connections.
std::atomic<int> g_active{0};

struct ActiveRequest {
    ActiveRequest() { ++g_active; }
    ~ActiveRequest() { --g_active; }
};

void pauseMs(long ms) {
    std::unique_lock<std::mutex> lock(g_stopMutex);
    g_stopCv.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_stopping; });
}

void logLine(const std::string &line) {
    static std::mutex m;
    std::lock_guard<std::mutex> lock(m);
    std::cout << line << std::endl;
}

void jsonAnswer(httplib::Response &res, int status, const std::string &body) {
    res.status = status;
    res.set_content(body + "\n", "application/json");
}

bool bindServer(httplib::Server &server, const std::string &host, int *port) {
    if (*port == 0) {
        const int p = server.bind_to_any_port(host.c_str());
        if (p <= 0)
            return false;
        *port = p;
        return true;
    }
    return server.bind_to_port(host.c_str(), *port);
}

bool writePortFile(const std::string &path, const Options &o) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (o.logPort >= 0)
            out << "log=" << o.logPort << "\n";
        if (o.crashPort >= 0)
            out << "crash=" << o.crashPort << "\n";
        out.close();
        if (out.fail())
            return false;
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    return !ec;
}

void setupLogServer(httplib::Server &server, EventLog &events, const Options &o) {
    server.Post("/c_bq_log/bq_log", [&events, &o](const httplib::Request &req, httplib::Response &res,
                                                  const httplib::ContentReader &reader) {
        const ActiveRequest active;
        if (req.has_header("Content-Length")) {
            const std::string cl = req.get_header_value("Content-Length");
            long long n = 0;
            if (!parseNumber(cl, 0, 1LL << 50, &n) || static_cast<size_t>(n) > EventLog::MaxBodySize) {
                logLine("event refused: body of " + cl + " bytes is over 1 MiB");
                res.set_header("Connection", "close");
                jsonAnswer(res, 413, R"({"status":"refused","reason":"body over 1 MiB"})");
                return;
            }
        }
        std::string body;
        bool tooLarge = false;
        reader([&](const char *data, size_t size) {
            // Keep reading past the limit (without keeping it) so the connection stays in step.
            if (!tooLarge && body.size() + size <= EventLog::MaxBodySize)
                body.append(data, size);
            else
                tooLarge = true;
            return true;
        });
        const EventLog::Result r = tooLarge ? EventLog::Result::TooLarge : events.append(body);
        switch (r) {
        case EventLog::Result::Stored:
            logLine("event " + std::to_string(events.count()) + ": " + body.substr(0, 200));
            jsonAnswer(res, o.logStatus, R"({"status":"ok"})");
            break;
        case EventLog::Result::TooLarge:
            logLine("event refused: body over 1 MiB");
            jsonAnswer(res, 413, R"({"status":"refused","reason":"body over 1 MiB"})");
            break;
        case EventLog::Result::Empty:
            logLine("event refused: empty body");
            jsonAnswer(res, 400, R"({"status":"refused","reason":"empty body"})");
            break;
        case EventLog::Result::HasLineBreak:
            logLine("event refused: body contains a line break");
            jsonAnswer(res, 400, R"({"status":"refused","reason":"body contains a line break"})");
            break;
        case EventLog::Result::WriteFailed:
            logLine("event lost: cannot write events.jsonl");
            jsonAnswer(res, 500, R"({"status":"error","reason":"write failed"})");
            break;
        }
    });
}

void setupCrashServer(httplib::Server &server, CrashStore &store, const Options &o) {
    server.Post("/api/crash-logs", [&store, &o](const httplib::Request &req, httplib::Response &res,
                                                const httplib::ContentReader &reader) {
        const ActiveRequest active;
        // Read what the client sent even when refusing it, so a kept-alive connection stays in step.
        auto drain = [&reader] { reader([](const char *, size_t) { return true; }); };
        if (!req.is_multipart_form_data()) {
            drain();
            logLine("crash upload refused: not multipart/form-data");
            jsonAnswer(res, 400, R"({"status":"refused","reason":"expected multipart/form-data"})");
            return;
        }
        std::string error;
        std::unique_ptr<CrashStore::Upload> upload =
            store.begin(req.remote_addr, req.get_header_value("Content-Type"), &error);
        if (!upload) {
            reader([](const httplib::MultipartFormData &) { return true; },
                   [](const char *, size_t) { return true; });
            logLine("crash upload lost: " + error);
            jsonAnswer(res, 500, R"({"status":"error","reason":"cannot store"})");
            return;
        }
        const bool read = reader(
            [&](const httplib::MultipartFormData &part) {
                return upload->beginPart(part.name, part.filename, part.content_type);
            },
            [&](const char *data, size_t size) { return upload->append(data, size); });
        const bool stored = upload->finish(read);
        const std::string id = std::to_string(upload->id());
        if (!stored) {
            logLine("crash upload " + id + " incomplete: " +
                    (upload->error().empty() ? std::string("body ended early or was malformed")
                                             : upload->error()));
            jsonAnswer(res, 400, R"({"status":"error","upload":)" + id + "}");
            return;
        }
        logLine("crash upload " + id + ": " + std::to_string(upload->partCount()) + " parts in " +
                upload->dir());
        if (o.crashDelayMs > 0)
            pauseMs(o.crashDelayMs);
        jsonAnswer(res, o.crashStatus,
                   R"({"status":"ok","upload":)" + id + R"(,"parts":)" + std::to_string(upload->partCount()) +
                       "}");
    });
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    const int parsed = parseOptions(argc, argv, &o);
    if (parsed == 1)
        return 0;
    if (parsed != 0)
        return 2;

    std::error_code ec;
    std::filesystem::create_directories(o.out, ec);
    if (ec) {
        std::cerr << "kv-sink: cannot create " << o.out << ": " << ec.message() << "\n";
        return 1;
    }

    // Signals go to one waiting thread; the server threads never see them.
    sigset_t sigSet;
    sigemptyset(&sigSet);
    sigaddset(&sigSet, SIGINT);
    sigaddset(&sigSet, SIGTERM);
    sigaddset(&sigSet, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigSet, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    EventLog events;
    CrashStore crashes;
    std::string error;
    if (o.logPort >= 0 && !events.open((std::filesystem::path(o.out) / "events.jsonl").string(), &error)) {
        std::cerr << "kv-sink: " << error << "\n";
        return 1;
    }
    if (o.crashPort >= 0 && !crashes.open(o.out, &error)) {
        std::cerr << "kv-sink: " << error << "\n";
        return 1;
    }

    httplib::Server logServer;
    httplib::Server crashServer;
    for (httplib::Server *s : {&logServer, &crashServer}) {
        s->set_payload_max_length(o.maxRequestBytes);
        s->set_read_timeout(30, 0);
    }
    setupLogServer(logServer, events, o);
    setupCrashServer(crashServer, crashes, o);

    if (o.logPort >= 0 && !bindServer(logServer, o.bind, &o.logPort)) {
        std::cerr << "kv-sink: cannot listen on " << o.bind << ":" << o.logPort << " (event log)\n";
        return 1;
    }
    if (o.crashPort >= 0 && !bindServer(crashServer, o.bind, &o.crashPort)) {
        std::cerr << "kv-sink: cannot listen on " << o.bind << ":" << o.crashPort << " (crash upload)\n";
        return 1;
    }

    std::thread logThread, crashThread;
    if (o.logPort >= 0)
        logThread = std::thread([&] { logServer.listen_after_bind(); });
    if (o.crashPort >= 0)
        crashThread = std::thread([&] { crashServer.listen_after_bind(); });
    // Announce only once both accept loops run, so a stop right after start cannot be missed.
    for (int i = 0; i < 1000; ++i) {
        if ((o.logPort < 0 || logServer.is_running()) && (o.crashPort < 0 || crashServer.is_running()))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    if (!o.portFile.empty() && !writePortFile(o.portFile, o)) {
        std::cerr << "kv-sink: cannot write " << o.portFile << "\n";
    }
    if (o.logPort >= 0)
        logLine("event log on http://" + o.bind + ":" + std::to_string(o.logPort) + "/c_bq_log/bq_log");
    if (o.crashPort >= 0)
        logLine("crash upload on http://" + o.bind + ":" + std::to_string(o.crashPort) + "/api/crash-logs");

    int sig = 0;
    sigwait(&sigSet, &sig);
    logLine("stopping on signal " + std::to_string(sig));
    {
        std::lock_guard<std::mutex> lock(g_stopMutex);
        g_stopping = true;
    }
    g_stopCv.notify_all();
    logServer.stop();
    crashServer.stop();
    // Joining the server threads would wait out every idle kept-alive connection; finish the
    // requests in progress instead and leave.
    for (int i = 0; i < 1000 && g_active > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::fflush(nullptr);
    std::_Exit(0);
}
