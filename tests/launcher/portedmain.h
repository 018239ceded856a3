#pragma once

// main() for tests whose build constants must point at a server on a port picked at run time.
// The constants are read before main, so the test picks a free port, puts the URLs into the
// environment and runs itself again as a child; the child binds that port.

#include <QApplication>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

namespace PortedTest {

inline const char *portVariable() {
    return "KV_LAUNCHER_TEST_PORT";
}

inline quint16 port() {
    return quint16(qEnvironmentVariableIntValue(portVariable()));
}

inline QString baseUrl() {
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

inline int runAsChild(int argc, char **argv) {
    quint16 port = 0;
    {
        QCoreApplication app(argc, argv);
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) {
            qCritical("cannot find a free port");
            return 1;
        }
        port = probe.serverPort();
    }
    const QByteArray base = "http://127.0.0.1:" + QByteArray::number(port);
    qputenv(portVariable(), QByteArray::number(port));
    qputenv("KESTRIVANE_TEST_CDN_BASE_URL", base + "/sea/win_update/");
    qputenv("KESTRIVANE_TEST_LOG_URL", base + "/c_bq_log/bq_log");
    qputenv("KESTRIVANE_TEST_CRASH_UPLOAD_URL", base + "/api/crash-logs");
    qputenv("KESTRIVANE_TEST_LAUNCHER_VERSION", "0.11");
    qputenv("KESTRIVANE_TEST_BUILD_MODE", "");
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QString::fromLocal8Bit(argv[0]), args);
    if (!child.waitForStarted(30000))
        return 1;
    child.waitForFinished(-1);
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}

} // namespace PortedTest

#define KV_PORTED_TEST_MAIN(TestClass)                                                                       \
    int main(int argc, char **argv) {                                                                        \
        if (PortedTest::port() == 0)                                                                         \
            return PortedTest::runAsChild(argc, argv);                                                       \
        QApplication app(argc, argv);                                                                        \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                             \
        TestClass tc;                                                                                        \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }
