#include "platform/platform.h"

#include <QtTest>

namespace {

QByteArray entryPoint2(quint8 major, quint8 minor, quint8 revision, quint16 tableLength) {
    QByteArray ep(0x1F, '\0');
    ep.replace(0, 4, "_SM_");
    ep[5] = char(0x1F);
    ep[6] = char(major);
    ep[7] = char(minor);
    ep[10] = char(revision);
    ep.replace(16, 5, "_DMI_");
    ep[22] = char(tableLength & 0xFF);
    ep[23] = char(tableLength >> 8);
    return ep;
}

QByteArray entryPoint3(quint8 major, quint8 minor, quint8 docrev, quint32 maxSize) {
    QByteArray ep(0x18, '\0');
    ep.replace(0, 5, "_SM3_");
    ep[6] = char(0x18);
    ep[7] = char(major);
    ep[8] = char(minor);
    ep[9] = char(docrev);
    ep[10] = char(1);
    for (int i = 0; i < 4; ++i)
        ep[12 + i] = char((maxSize >> (8 * i)) & 0xFF);
    return ep;
}

// Structure data whose bytes depend on their position, so a shifted copy shows.
QByteArray table(int size) {
    QByteArray t(size, '\0');
    for (int i = 0; i < size; ++i)
        t[i] = char((i * 7 + 3) & 0xFF);
    return t;
}

quint32 headerLength(const QByteArray &raw) {
    return quint32(quint8(raw[4])) | (quint32(quint8(raw[5])) << 8) | (quint32(quint8(raw[6])) << 16) |
           (quint32(quint8(raw[7])) << 24);
}

} // namespace

class TestSmbiosAssembly : public QObject {
    Q_OBJECT
private slots:
    // The 8-byte header (calling method 0, major, minor, revision, table length) and the table,
    // cut to the length the entry point declares (2.x) or allows (3.x), and to the bytes present.
    void assemblesHeaderAndTable_data() {
        QTest::addColumn<QByteArray>("entryPoint");
        QTest::addColumn<int>("dmiSize");
        QTest::addColumn<QByteArray>("version"); // major, minor, revision
        QTest::addColumn<int>("length");
        QTest::newRow("2.8") << entryPoint2(2, 8, 0, 300) << 300 << QByteArray("\x02\x08\x00", 3) << 300;
        // 3.x gives only a maximum; the table itself may be shorter.
        QTest::newRow("3.2.1 actual size")
            << entryPoint3(3, 2, 1, 0x20000) << 70000 << QByteArray("\x03\x02\x01", 3) << 70000;
        QTest::newRow("2.x declares less")
            << entryPoint2(2, 7, 0, 123) << 500 << QByteArray("\x02\x07\x00", 3) << 123;
        QTest::newRow("3.x allows less")
            << entryPoint3(3, 0, 0, 64) << 500 << QByteArray("\x03\x00\x00", 3) << 64;
        // A declared length beyond the bytes present never reads past them.
        QTest::newRow("2.x truncated table")
            << entryPoint2(2, 8, 0, 0xFFFF) << 40 << QByteArray("\x02\x08\x00", 3) << 40;
        QTest::newRow("3.x truncated table")
            << entryPoint3(3, 3, 0, 0xFFFFFFFFu) << 40 << QByteArray("\x03\x03\x00", 3) << 40;
    }

    void assemblesHeaderAndTable() {
        QFETCH(QByteArray, entryPoint);
        QFETCH(int, dmiSize);
        QFETCH(QByteArray, version);
        QFETCH(int, length);
        const QByteArray dmi = table(dmiSize);
        const QByteArray raw = Platform::assembleSmbiosTable(entryPoint, dmi);
        QCOMPARE(raw.size(), 8 + length);
        QCOMPARE(raw.left(4), QByteArray(1, '\0') + version);
        QCOMPARE(headerLength(raw), quint32(length));
        QCOMPARE(raw.mid(8), dmi.left(length));
    }

    void malformedInputGivesNothing_data() {
        QTest::addColumn<QByteArray>("entryPoint");
        QTest::addColumn<QByteArray>("dmi");
        const QByteArray dmi = table(100);

        QTest::newRow("empty entry point") << QByteArray() << dmi;
        QTest::newRow("empty table") << entryPoint2(2, 8, 0, 100) << QByteArray();
        QTest::newRow("zero length") << entryPoint3(3, 0, 0, 0) << dmi;
        QTest::newRow("unknown anchor") << QByteArray("_XX_").append(QByteArray(0x1B, '\0')) << dmi;
        QTest::newRow("2.x truncated") << entryPoint2(2, 8, 0, 100).left(20) << dmi;
        QTest::newRow("3.x truncated") << entryPoint3(3, 0, 0, 100).left(0x10) << dmi;
        QByteArray noDmiAnchor = entryPoint2(2, 8, 0, 100);
        noDmiAnchor.replace(16, 5, "XXXXX");
        QTest::newRow("2.x without _DMI_") << noDmiAnchor << dmi;
        QByteArray longer2 = entryPoint2(2, 8, 0, 100);
        longer2[5] = char(0x40);
        QTest::newRow("2.x length beyond data") << longer2 << dmi;
        QByteArray short3 = entryPoint3(3, 0, 0, 100);
        short3[6] = char(0x10);
        QTest::newRow("3.x length too small") << short3 << dmi;
    }

    void malformedInputGivesNothing() {
        QFETCH(QByteArray, entryPoint);
        QFETCH(QByteArray, dmi);
        QVERIFY(Platform::assembleSmbiosTable(entryPoint, dmi).isEmpty());
    }

    void thisMachinesTableIsConsistent() {
        // Unreadable on most machines without root; when it is there its header must match.
        const QByteArray raw = Platform::rawSmbiosTable();
        if (raw.isEmpty())
            QSKIP("no readable SMBIOS table here");
        QVERIFY(raw.size() > 8);
        QCOMPARE(quint8(raw[0]), quint8(0));
        QVERIFY(quint8(raw[1]) >= 2);
        QCOMPARE(qint64(headerLength(raw)), qint64(raw.size() - 8));
    }
};

QTEST_GUILESS_MAIN(TestSmbiosAssembly)
#include "tst_smbiosassembly.moc"
