#pragma once

#include <QTest>

// Runs a helper that checks with QVERIFY/QCOMPARE, and leaves the test when a check failed.
#define STEP(call)                                                                                           \
    do {                                                                                                     \
        call;                                                                                                \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
    } while (false)

// The data table of a case run twice, once for each value of one bool column.
inline void addBoolRows(const char *column, const char *whenFalse, const char *whenTrue) {
    QTest::addColumn<bool>(column);
    QTest::newRow(whenFalse) << false;
    QTest::newRow(whenTrue) << true;
}
