// Arithmetic of the download page: speed smoothing and the time texts.
#include "workflow/progresstext.h"

#include <QtTest>

class GameFormatTest : public QObject {
    Q_OBJECT
private slots:
    void speedSmoothing() {
        // 1,000,000 bytes a second from a standing start.
        qint64 speed = 0;
        qint64 last = 0;
        QList<qint64> seen;
        for (qint64 committed = 1000000; committed <= 3000000; committed += 1000000) {
            speed = ProgressText::smoothedSpeed(committed, last, speed);
            last = committed;
            seen << speed;
        }
        QCOMPARE(seen, (QList<qint64>{200000, 360000, 488000}));
        // Integer arithmetic truncating toward zero.
        QCOMPARE(ProgressText::smoothedSpeed(4, 0, 0), qint64(0));
        QCOMPARE(ProgressText::smoothedSpeed(9, 0, 1), qint64(2));
        // Committed bytes went backwards: the speed drops to 0, never negative.
        QCOMPARE(ProgressText::smoothedSpeed(100, 200, 5000), qint64(0));
        // Beyond 2^31 bytes a tick.
        QCOMPARE(ProgressText::smoothedSpeed(Q_INT64_C(5000000000), 0, Q_INT64_C(3000000000)),
                 Q_INT64_C(3400000000));
    }

    void timeTexts() {
        QCOMPARE(ProgressText::formatTime(7265), QStringLiteral("02:01:05"));
        QCOMPARE(ProgressText::formatTime(0), QStringLiteral("00:00:00"));
        QCOMPARE(ProgressText::formatTime(59), QStringLiteral("00:00:59"));
        QCOMPARE(ProgressText::formatTime(3600), QStringLiteral("01:00:00"));
        QCOMPARE(ProgressText::formatTime(360000), QStringLiteral("100:00:00"));
        QCOMPARE(ProgressText::formatTime(-5), QStringLiteral("00:00:00"));

        QCOMPARE(ProgressText::remainingTimeText(1000000, 0), QStringLiteral("00:00:00"));
        QCOMPARE(ProgressText::remainingTimeText(1000000, -3), QStringLiteral("00:00:00"));
        QCOMPARE(ProgressText::remainingTimeText(9000000, 200000), QStringLiteral("00:00:45"));
        QCOMPARE(ProgressText::remainingTimeText(-10, 200000), QStringLiteral("00:00:00"));
        // 3 TB left at one byte a second does not wrap around.
        QCOMPARE(ProgressText::remainingTimeText(Q_INT64_C(3000000000000), 1),
                 QStringLiteral("833333333:20:00"));
    }
};

QTEST_APPLESS_MAIN(GameFormatTest)
#include "test_game_format.moc"
