#pragma once

#include <QTest>

// Runs a helper that checks with QVERIFY/QCOMPARE, and leaves the test when a check failed.
#define STEP(call)                                                                                           \
    do {                                                                                                     \
        call;                                                                                                \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
    } while (false)
