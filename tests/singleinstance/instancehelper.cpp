// A stand-in for the launcher's start-up, run as a real process by the single-instance tests and the
// second-start benchmark. It prints what it becomes and what it receives, one line each:
//   key=<key name>            (always first)
//   role=primary id=0 / role=secondary id=<n>
//   started                   (primary: instanceStarted())
//   message <id> <percent-encoded bytes>
//   send=<0|1>                (secondary: result of sendToPrimary)
//   stalled <ms>              (primary: its GUI thread is blocked for that long, from now)
// A primary runs until its standard input ends or reads "quit"; "stall <ms>" blocks its GUI thread,
// as a launcher busy starting its window or on a loaded machine would be.
#include "singleinstance/singleapplication.h"
#include "singleinstance/singleapplicationprivate.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QMetaObject>
#include <QStringList>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

namespace {

struct Arguments {
    bool allowSecondary = true;
    SingleApplication::Options options = SingleApplication::UserScope;
    int timeoutMs = 1000;
    int sendTimeoutMs = 100; // as the launcher sends "activated"
    QString extra;
    QByteArray message = "activated";
    int messageSize = -1; // when set, send this many position-dependent bytes instead
    bool waitForExit = false;
    bool printKey = false;
};

Arguments parse(int argc, char *argv[]) {
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(arg, "--no-secondary"))
            a.allowSecondary = false;
        else if (!std::strcmp(arg, "--notify"))
            a.options |= SingleApplication::NotifySecondaryStart;
        else if (!std::strcmp(arg, "--no-user-scope"))
            a.options &= ~SingleApplication::Options(SingleApplication::UserScope);
        else if (!std::strcmp(arg, "--wait-exit"))
            a.waitForExit = true;
        else if (!std::strcmp(arg, "--print-key"))
            a.printKey = true;
        else if (!std::strcmp(arg, "--extra") && hasValue)
            a.extra = QString::fromUtf8(argv[++i]);
        else if (!std::strcmp(arg, "--timeout") && hasValue)
            a.timeoutMs = std::atoi(argv[++i]);
        else if (!std::strcmp(arg, "--send-timeout") && hasValue)
            a.sendTimeoutMs = std::atoi(argv[++i]);
        else if (!std::strcmp(arg, "--message") && hasValue)
            a.message = argv[++i];
        else if (!std::strcmp(arg, "--message-size") && hasValue)
            a.messageSize = std::atoi(argv[++i]);
    }
    return a;
}

void say(const QByteArray &line) {
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[]) {
    const Arguments args = parse(argc, argv);
    const QStringList extra = args.extra.isEmpty() ? QStringList() : QStringList(args.extra);

    if (args.printKey) {
        QCoreApplication core(argc, argv);
        say("key=" + SingleApplicationPrivate::keyNameForThisProcess(args.options, extra).toUtf8());
        return 0;
    }

    SingleApplication app(argc, argv, args.allowSecondary, args.options, args.timeoutMs, args.extra);
    say("key=" + app.keyName().toUtf8());

    if (app.isSecondaryInstance()) {
        say("role=secondary id=" + QByteArray::number(app.instanceId()));
        QByteArray message = args.message;
        if (args.messageSize >= 0) {
            message.resize(args.messageSize);
            for (int i = 0; i < message.size(); ++i)
                message[i] = static_cast<char>(i * 7 + i / 251);
        }
        const bool sent = app.sendToPrimary(message, args.sendTimeoutMs,
                                            args.waitForExit ? SingleApplication::WaitForPrimaryExit
                                                             : SingleApplication::DontWait);
        say(QByteArray("send=") + (sent ? "1" : "0"));
        return 0;
    }

    say("role=primary id=" + QByteArray::number(app.instanceId()));
    QObject::connect(&app, &SingleApplication::instanceStarted, []() { say("started"); });
    QObject::connect(&app, &SingleApplication::receivedMessage, [](quint32 id, const QByteArray &message) {
        // Long messages are shown by size and digest so a line stays short.
        const QByteArray shown = message.size() > 64
                                     ? "size:" + QByteArray::number(message.size()) + ":md5:" +
                                           QCryptographicHash::hash(message, QCryptographicHash::Md5).toHex()
                                     : message.toPercentEncoding();
        say("message " + QByteArray::number(id) + " " + shown);
    });

    std::thread input([&app]() {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line == "quit")
                break;
            if (line.rfind("stall ", 0) == 0) {
                const QByteArray ms = QByteArray::fromStdString(line.substr(6)).trimmed();
                QMetaObject::invokeMethod(
                    &app,
                    [ms]() {
                        say("stalled " + ms);
                        QThread::msleep(ms.toULong());
                    },
                    Qt::QueuedConnection);
            }
        }
        QMetaObject::invokeMethod(&app, "quit", Qt::QueuedConnection);
    });
    input.detach();
    app.exec();
    say("exit");
    return 0;
}
