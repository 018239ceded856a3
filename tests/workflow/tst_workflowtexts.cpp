// The texts and figures of the pages: sizes, times, speed smoothing, and version comparison.
#include "workflow/progresstext.h"
#include "workflow/speedmeter.h"
#include "workflow/versioncheck.h"

#include <QtTest>

#include <cmath>

class WorkflowTextsTest : public QObject {
    Q_OBJECT

private slots:
    void sizeTexts_data() {
        QTest::addColumn<double>("bytes");
        QTest::addColumn<int>("precision");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0.0 << 2 << "0B";
        QTest::newRow("900") << 900.0 << 2 << "900B";
        QTest::newRow("1023") << 1023.0 << 2 << "1023B";
        QTest::newRow("1023.9 drops the fraction") << 1023.9 << 2 << "1023B";
        QTest::newRow("1024") << 1024.0 << 2 << "1KB";
        QTest::newRow("1536") << 1536.0 << 2 << "1.5KB";
        QTest::newRow("1 MiB") << 1048576.0 << 2 << "1MB";
        QTest::newRow("5000000") << 5000000.0 << 2 << "4.77MB";
        QTest::newRow("12.25 MiB") << 12845056.0 << 2 << "12.25MB";
        QTest::newRow("half up") << 1152.0 << 2 << "1.13KB"; // 1.125 -> 1.13
        QTest::newRow("rounds to the next whole") << 1048575.0 << 2 << "1024KB";
        QTest::newRow("1 GiB") << 1073741824.0 << 2 << "1GB";
        QTest::newRow("2.97 GiB") << 3189013217.0 << 2 << "2.97GB";
        QTest::newRow("one decimal") << 1600.0 << 1 << "1.6KB";
        QTest::newRow("no decimals") << 1600.0 << 0 << "2KB";
        QTest::newRow("speed 200000") << 200000.0 << 2 << "195.31KB";
        QTest::newRow("speed 360000") << 360000.0 << 2 << "351.56KB";
        QTest::newRow("speed 488000") << 488000.0 << 2 << "476.56KB";
        QTest::newRow("terabytes stay in GB") << 2199023255552.0 << 2 << "2048GB";
        QTest::newRow("negative reads as 0") << -1e30 << 2 << "0B";
        QTest::newRow("not a number reads as 0") << double(NAN) << 2 << "0B";
    }

    void sizeTexts() {
        QFETCH(double, bytes);
        QFETCH(int, precision);
        QFETCH(QString, text);
        QCOMPARE(ProgressText::formatSize(float(bytes), precision), text);
    }

    void versions_data() {
        QTest::addColumn<QString>("local");
        QTest::addColumn<QString>("remote");
        QTest::addColumn<int>("result");
        // 0: the same, -1: the remote one is newer, 1: older, -2: one of them is no version.
        const struct {
            const char *row, *local, *remote;
            int result;
        } cases[] = {
            {"equal", "0.11", "0.11", 0},
            {"trailing zero", "0.11", "0.110", 0},
            {"1.10 equals 1.1", "1.1", "1.10", 0},
            {"0.2 newer", "0.11", "0.2", -1},
            {"0.12 newer", "0.11", "0.12", -1},
            {"0.10 older", "0.11", "0.10", 1},
            {"remote empty", "0.11", "", -2},
            {"remote text", "0.11", "abc", -2},
            {"remote dotted", "0.11", "1.2.3", -2},
            {"remote with carriage return", "0.11", "0.12\r", -1},
            {"remote infinite", "0.11", "inf", -2},
            {"remote not a number", "0.11", "nan", -2},
            {"remote decimal comma", "0.11", "0,2", -2},
            {"local broken", "x", "0.11", -2},
            {"negative", "0.11", "-1", 1},
        };
        for (const auto &c : cases)
            QTest::newRow(c.row) << QString::fromLatin1(c.local) << QString::fromLatin1(c.remote) << c.result;
    }

    void versions() {
        QFETCH(QString, local);
        QFETCH(QString, remote);
        QFETCH(int, result);
        QCOMPARE(VersionCheck::compareVersions(local, remote), result);
    }

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

        // The shown speed after a change of the cap: 2 MB a refresh under 3 MB/s, then a cap of
        // 1 MB/s. The refresh that sees the change holds both rates, the next one the new rate only.
        SpeedMeter meter;
        meter.restart(0, 3000000);
        qint64 bytes = 0;
        for (int i = 0; i < 40; ++i)
            meter.sample(bytes += 2000000, 3000000);
        QVERIFY(meter.speed() > 1990000);
        QCOMPARE(meter.sample(bytes += 1500000, 1000000), qint64(1500000));
        QCOMPARE(meter.sample(bytes += 1000000, 1000000), qint64(1000000));
        QCOMPARE(meter.sample(bytes += 1000000, 1000000), qint64(1000000));
        // After a pause or an outage: from a standing start again.
        meter.restart(bytes, 1000000);
        QCOMPARE(meter.sample(bytes + 1000000, 1000000), qint64(200000));
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

QTEST_GUILESS_MAIN(WorkflowTextsTest)
#include "tst_workflowtexts.moc"
