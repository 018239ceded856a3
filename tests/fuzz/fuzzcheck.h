#pragma once

// Shared by the fuzz targets: a check that stops the run with the broken invariant (libFuzzer
// then keeps the input as a crash), and a quiet Qt message log.

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond);              \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

// The parsers log every refused input; at thousands of inputs a second that output would drown
// the fuzzer's own and slow it down. Fatal messages still end the run.
inline void quietQtLog() {
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtFatalMsg) {
            std::fprintf(stderr, "qFatal: %s\n", message.toLocal8Bit().constData());
            std::abort();
        }
    });
}

// The fuzzer's set-up for targets that need nothing but the quiet log.
#define FUZZ_QUIET_INITIALIZE()                                                                              \
    extern "C" int LLVMFuzzerInitialize(int *, char ***) {                                                   \
        quietQtLog();                                                                                        \
        return 0;                                                                                            \
    }
