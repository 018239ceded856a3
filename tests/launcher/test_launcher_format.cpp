// Size texts and version comparison.
#include "launcher/launcherupdater.h"

#include <QtTest>

#include <cmath>

class LauncherFormatTest : public QObject {
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
        QCOMPARE(LauncherUpdater::formatSize(float(bytes), precision), text);
    }

    void versions_data() {
        QTest::addColumn<QString>("local");
        QTest::addColumn<QString>("remote");
        QTest::addColumn<int>("result");
        QTest::newRow("equal") << "0.11"
                               << "0.11" << 0;
        QTest::newRow("trailing zero") << "0.11"
                                       << "0.110" << 0;
        QTest::newRow("1.10 equals 1.1") << "1.1"
                                         << "1.10" << 0;
        QTest::newRow("0.2 newer") << "0.11"
                                   << "0.2" << -1;
        QTest::newRow("0.12 newer") << "0.11"
                                    << "0.12" << -1;
        QTest::newRow("0.10 older") << "0.11"
                                    << "0.10" << 1;
        QTest::newRow("remote empty") << "0.11"
                                      << "" << -2;
        QTest::newRow("remote text") << "0.11"
                                     << "abc" << -2;
        QTest::newRow("remote dotted") << "0.11"
                                       << "1.2.3" << -2;
        QTest::newRow("remote with carriage return") << "0.11"
                                                     << "0.12\r" << -1;
        QTest::newRow("remote infinite") << "0.11"
                                         << "inf" << -2;
        QTest::newRow("remote not a number") << "0.11"
                                             << "nan" << -2;
        QTest::newRow("remote decimal comma") << "0.11"
                                              << "0,2" << -2;
        QTest::newRow("local broken") << "x"
                                      << "0.11" << -2;
        QTest::newRow("negative") << "0.11"
                                  << "-1" << 1;
    }

    void versions() {
        QFETCH(QString, local);
        QFETCH(QString, remote);
        QFETCH(int, result);
        QCOMPARE(LauncherUpdater::compareVersions(local, remote), result);
    }
};

QTEST_GUILESS_MAIN(LauncherFormatTest)
#include "test_launcher_format.moc"
