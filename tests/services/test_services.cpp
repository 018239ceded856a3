#include "platform/platform.h"
#include "services/campaignid.h"
#include "services/deviceid.h"
#include "services/eventlogclient.h"
#include "support/httpserver.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <vector>

namespace {

QStringList capturedDebug;

void captureMessages(QtMsgType type, const QMessageLogContext &, const QString &text) {
    if (type == QtDebugMsg)
        capturedDebug << text;
}

// An SMBIOS structure: 4-byte header, the rest of the formatted area, then the string set.
QByteArray structure(uchar type, const QByteArray &formattedRest, const QList<QByteArray> &strings,
                     quint16 handle) {
    QByteArray s;
    s.append(char(type));
    s.append(char(4 + formattedRest.size()));
    s.append(char(handle & 0xFF));
    s.append(char(handle >> 8));
    s.append(formattedRest);
    for (const QByteArray &text : strings)
        s.append(text).append('\0');
    if (strings.isEmpty())
        s.append('\0');
    s.append('\0');
    return s;
}

QByteArray uuidBytes(const char *hex) {
    return QByteArray::fromHex(hex);
}

// System information (type 1) as SMBIOS 2.4 and later lay it out: 27 bytes formatted.
QByteArray systemInfo(const QByteArray &uuid, quint16 handle = 1) {
    QByteArray rest;
    rest.append("\x01\x02\x03\x04", 4); // manufacturer, product, version, serial
    rest.append(uuid);
    rest.append("\x06\x05\x06", 3); // wake-up type, SKU, family
    return structure(1, rest, {"Quelvane Labs", "Test Machine", "1.0", "SN-0001", "SKU", "Family"}, handle);
}

QByteArray rawTable(uchar major, uchar minor, const QByteArray &data, qint64 lengthDelta = 0) {
    QByteArray raw;
    raw.append('\0');
    raw.append(char(major));
    raw.append(char(minor));
    raw.append('\0');
    const quint32 length = quint32(data.size() + lengthDelta);
    for (int i = 0; i < 4; ++i)
        raw.append(char((length >> (8 * i)) & 0xFF));
    raw.append(data);
    return raw;
}

// A table like one read from a virtual machine: BIOS, system, enclosure, processor, end of table.
QByteArray recordedStructures(const QByteArray &uuid) {
    QByteArray data;
    data += structure(0, QByteArray::fromHex("01020300e80300080000000000000000000000000000"),
                      {"Quelvane BIOS", "1.16.2-debian", "04/01/2014"}, 0);
    data += systemInfo(uuid, 0x100);
    data += structure(3, QByteArray::fromHex("0101020300030303000000000000"), {"QEMU", "pc-q35-7.2"}, 0x300);
    data += structure(4, QByteArray::fromHex("0301b30600000000000000000000000000000001"), {"CPU 0", "QEMU"},
                      0x400);
    data += structure(127, QByteArray(), {}, 0x7F00);
    return data;
}

// Runs the walk over a heap block of exactly the table's size, so a read past its end is caught
// by the address sanitizer instead of landing in QByteArray's spare capacity.
QString walkExact(const QByteArray &raw) {
    std::vector<char> exact(raw.begin(), raw.end());
    return deviceIdFromSmbiosTable(QByteArray::fromRawData(exact.data(), int(exact.size())));
}

const char *const Uuid = "00112233445566778899AABBCCDDEEFF";

} // namespace

class TestServices : public QObject {
    Q_OBJECT

private slots:
    void init() {
        capturedDebug.clear();
        qInstallMessageHandler(captureMessages);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void campaignIdFromInstallerName_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("gclid");
        QTest::newRow("gc and lid") << "Setup_gcA1B2lid.exe"
                                    << "A1B2";
        QTest::newRow("no lid") << "Setup_gcA1B2.exe"
                                << "A1B2.exe";
        QTest::newRow("no gc") << "Setup.exe"
                               << "";
        QTest::newRow("lid right after gc") << "gclid.exe"
                                            << "";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("lid before gc") << "lid_Setup_gcXY.exe"
                                       << "XY.exe";
        QTest::newRow("first gc, last lid") << "a_gcX_gcYlid_lid.exe"
                                            << "X_gcYlid_";
        QTest::newRow("case matters") << "Setup_GCA1LID.exe"
                                      << "";
        QTest::newRow("gc at the end") << "Setup_gc"
                                       << "";
    }
    void campaignIdFromInstallerName() {
        QFETCH(QString, fileName);
        QFETCH(QString, gclid);
        QCOMPARE(campaignIdFromFilename(fileName), gclid);
    }

    void campaignIdFromRegistry() {
        QTemporaryDir config;
        QVERIFY(config.isValid());
        const QByteArray previous = qgetenv("XDG_CONFIG_HOME");
        const bool hadPrevious = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        auto restore = qScopeGuard([&]() {
            if (hadPrevious)
                qputenv("XDG_CONFIG_HOME", previous);
            else
                qunsetenv("XDG_CONFIG_HOME");
        });
        const QString key = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Quelvane");

        QCOMPARE(readCampaignId(), QString());
        QCOMPARE(capturedDebug, QStringList{"filename=, keys="});

        QVERIFY(Platform::setRegistryValue(key, "Filename", "Setup_gcA1B2lid.exe"));
        QVERIFY(Platform::setRegistryValue(key, "InstallDir", "C:\\Games"));
        capturedDebug.clear();
        QCOMPARE(readCampaignId(), QString("A1B2"));
        QCOMPARE(capturedDebug.size(), 2);
        QVERIFY(capturedDebug[0].startsWith("filename=Setup_gcA1B2lid.exe, keys="));
        QVERIFY(capturedDebug[0].contains("Filename"));
        QVERIFY(capturedDebug[0].contains("InstallDir"));
        QCOMPARE(capturedDebug[1], QString("gclid=A1B2"));
    }

    void systemUuidText() {
        const QByteArray uuid = uuidBytes(Uuid);
        const auto *u = reinterpret_cast<const uchar *>(uuid.constData());
        char out[64];
        QVERIFY(formatSystemUuid(u, 0x0207, out, sizeof out));
        QCOMPARE(QByteArray(out), QByteArray("33221100-5544-7766-8899-AABBCCDDEEFF"));
        QVERIFY(formatSystemUuid(u, 0x0206, out, sizeof out));
        QCOMPARE(QByteArray(out), QByteArray("33221100-5544-7766-8899-AABBCCDDEEFF"));
        QVERIFY(formatSystemUuid(u, 0x0204, out, sizeof out));
        QCOMPARE(QByteArray(out), QByteArray("-00112233-4455-6677-8899-AABBCCDDEEFF"));
        QCOMPARE(int(std::strlen(out)), 37);

        const QByteArray ff(16, '\xFF');
        const QByteArray zero(16, '\0');
        std::memset(out, 'z', sizeof out);
        QVERIFY(!formatSystemUuid(reinterpret_cast<const uchar *>(ff.constData()), 0x0300, out, sizeof out));
        QVERIFY(
            !formatSystemUuid(reinterpret_cast<const uchar *>(zero.constData()), 0x0300, out, sizeof out));
        // One byte set is enough to count.
        QByteArray almost = ff;
        almost[15] = '\xFE';
        QVERIFY(
            formatSystemUuid(reinterpret_cast<const uchar *>(almost.constData()), 0x0300, out, sizeof out));
        QCOMPARE(QByteArray(out), QByteArray("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFE"));

        // Too small a buffer is refused rather than cut.
        char small[37];
        QVERIFY(!formatSystemUuid(u, 0x0204, small, sizeof small));
        char exact[38];
        QVERIFY(formatSystemUuid(u, 0x0204, exact, sizeof exact));
    }

    void smbiosWalk_data() {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("deviceId");
        const QByteArray uuid = uuidBytes(Uuid);
        const QString modern = "33221100-5544-7766-8899-AABBCCDDEEFF";
        const QByteArray recorded = recordedStructures(uuid);

        QTest::newRow("recorded 2.7") << rawTable(2, 7, recorded) << modern;
        QTest::newRow("recorded 3.0") << rawTable(3, 0, recorded) << modern;
        QTest::newRow("recorded 2.4") << rawTable(2, 4, recorded) << "-00112233-4455-6677-8899-AABBCCDDEEFF";
        QTest::newRow("unset uuid skipped, later one used")
            << rawTable(2, 8, systemInfo(QByteArray(16, '\xFF'), 1) + recorded) << modern;
        QTest::newRow("only unset uuids")
            << rawTable(2, 8, systemInfo(QByteArray(16, '\xFF'), 1) + systemInfo(QByteArray(16, '\0'), 2))
            << "";
        QTest::newRow("no system information") << rawTable(2, 8, structure(0, "\x01\x02", {"BIOS"}, 0)) << "";
        QTest::newRow("empty") << QByteArray() << "";
        QTest::newRow("header only, no data") << rawTable(2, 8, QByteArray()) << "";
        QTest::newRow("shorter than the header") << QByteArray("\0\x02\x08\0\x10", 5) << "";

        // The header's length must match the bytes that came with it.
        QTest::newRow("length says more") << rawTable(2, 8, recorded, 1) << "";
        QTest::newRow("length says less") << rawTable(2, 8, recorded, -1) << "";
        QTest::newRow("length near 4 GiB") << rawTable(2, 8, recorded, 0xFFFFFFFFll - recorded.size()) << "";

        // Damaged structure data with a consistent header.
        const QByteArray system = systemInfo(uuid);
        QTest::newRow("truncated inside a structure")
            << rawTable(2, 8, structure(0, "\x01", {"BIOS"}, 0) + system.left(20)) << "";
        QTest::newRow("truncated inside the strings, before the uuid")
            << rawTable(2, 8, structure(0, "\x01", {"BIOS"}, 0).left(7)) << "";
        QByteArray shortLength = structure(0, "\x01\x02", {"BIOS"}, 0);
        shortLength[1] = 3;
        QTest::newRow("length byte below 4") << rawTable(2, 8, shortLength + system) << "";
        shortLength[1] = 0;
        QTest::newRow("length byte 0") << rawTable(2, 8, shortLength + system) << "";
        QByteArray noDoubleZero = structure(0, "\x01\x02", {"BIOS"}, 0);
        noDoubleZero.chop(1); // "BIOS\0" without the closing zero
        QTest::newRow("string set without two zero bytes") << rawTable(2, 8, noDoubleZero) << "";
        QTest::newRow("unterminated strings then system information")
            << rawTable(2, 8, noDoubleZero + "\x01\x1b") << "";
        QByteArray oversized = structure(0, "\x01\x02", {"BIOS"}, 0);
        oversized[1] = char(0xFF);
        QTest::newRow("length byte past the end") << rawTable(2, 8, oversized) << "";
        // Structure stops right after its formatted area: used, no strings needed.
        QTest::newRow("system information without string set")
            << rawTable(2, 8, structure(0, "\x01", {}, 0) + system.left(27)) << modern;
        // SMBIOS 2.0 system information has no UUID: bytes past its 8-byte formatted area are strings.
        QTest::newRow("type 1 too short for a uuid")
            << rawTable(2, 0, structure(1, "\x01\x02\x03\x04", {"AAAAAAAAAAAAAAAAAAAA"}, 1)) << "";
    }
    void smbiosWalk() {
        QFETCH(QByteArray, raw);
        QFETCH(QString, deviceId);
        QCOMPARE(walkExact(raw), deviceId);
    }

    void smbiosRandomDamage() {
        // Every cut and every single-byte change of a recorded table must end the walk in bounds.
        const QByteArray data = recordedStructures(uuidBytes(Uuid));
        for (int cut = 0; cut <= data.size(); ++cut) {
            const QByteArray piece = data.left(cut);
            walkExact(rawTable(2, 8, piece));
        }
        for (int i = 0; i < data.size(); ++i) {
            for (int value : {0x00, 0x01, 0x03, 0x04, 0x7F, 0xFF}) {
                QByteArray damaged = data;
                damaged[i] = char(value);
                walkExact(rawTable(2, 8, damaged));
            }
        }
    }

    void eventBody() {
        QJsonObject event{{"event", "launcher started"}};
        QCOMPARE(
            EventLogClient::body(event, "", ""),
            QByteArray(R"({"deviceId":"","event":"launcher started","gclid":"","src":"game_launcher"})"));

        // The common keys win over keys of the same name from the raising side.
        QJsonObject spoofed{
            {"event", "game process finished"}, {"code", 3}, {"src", "other"}, {"gclid", "x"}};
        QCOMPARE(EventLogClient::body(spoofed, "A1B2", "33221100-5544-7766-8899-AABBCCDDEEFF"),
                 QByteArray(R"({"code":3,"deviceId":"33221100-5544-7766-8899-AABBCCDDEEFF",)"
                            R"("event":"game process finished","gclid":"A1B2","src":"game_launcher"})"));
    }

    void postsToTheEventLog_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("delivered");
        QTest::newRow("accepted") << 200 << true;
        QTest::newRow("server error") << 500 << false;
    }
    void postsToTheEventLog() {
        QFETCH(int, status);
        QFETCH(bool, delivered);
        HttpServer server;
        QVERIFY(server.listen());
        HttpServer::Faults answer;
        answer.status = status;
        server.setFaults("/c_bq_log/bq_log", answer);
        QNetworkAccessManager manager;
        manager.setProxy(QNetworkProxy::NoProxy);
        EventLogClient client(&manager, server.url(QStringLiteral("/c_bq_log/bq_log")));
        QSignalSpy finished(&client, &EventLogClient::finished);

        client.send(QJsonObject{{"event", "launcher started"}}, QString(), QString());
        QVERIFY(finished.wait(10000));

        const QByteArray expected =
            R"({"deviceId":"","event":"launcher started","gclid":"","src":"game_launcher"})";
        QCOMPARE(server.requests().size(), 1);
        const HttpServer::Request request = server.requests().first();
        QCOMPARE(request.method + ' ' + request.target + ' ' + request.version,
                 QByteArray("POST /c_bq_log/bq_log HTTP/1.1"));
        QCOMPARE(request.body, expected);
        QList<QByteArray> contentTypes;
        for (const auto &header : request.headerLines) {
            if (header.first.compare("content-type", Qt::CaseInsensitive) == 0)
                contentTypes << header.second;
        }
        QCOMPARE(contentTypes, QList<QByteArray>{"application/json"});

        QCOMPARE(finished.first().at(0).toBool(), delivered);
        QCOMPARE(finished.first().at(1).toByteArray(), expected);
        QVERIFY(capturedDebug.contains((delivered ? "log 0 " : "log 1 ") + QString::fromUtf8(expected)));
    }

    void unreachableEventLog() {
        // A port that was just free: the event is lost and only logged.
        const QList<quint16> free = HttpServer::freePorts(1);
        QVERIFY(!free.isEmpty());
        const quint16 port = free.first();
        QNetworkAccessManager manager;
        manager.setProxy(QNetworkProxy::NoProxy);
        EventLogClient client(&manager,
                              QUrl(QStringLiteral("http://127.0.0.1:%1/c_bq_log/bq_log").arg(port)));
        QSignalSpy finished(&client, &EventLogClient::finished);
        client.send(QJsonObject{{"event", "launcher closed"}}, "g", "d");
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.first().at(0).toBool(), false);
        QVERIFY(capturedDebug.contains(R"(log 1 {"deviceId":"d","event":"launcher closed","gclid":"g",)"
                                       R"("src":"game_launcher"})"));
    }

    void leavingWaitsForTheLastEvents() {
        // A slow endpoint: the launcher ending right after sending must not cut the event off.
        HttpServer server;
        QVERIFY(server.listen());
        HttpServer::Faults slow;
        slow.delayMs = 400;
        server.setFaults("/slow", slow);
        HttpServer::Faults silent;
        silent.hold = true;
        server.setFaults("/silent", silent);
        QNetworkAccessManager manager;
        manager.setProxy(QNetworkProxy::NoProxy);

        EventLogClient client(&manager, server.url(QStringLiteral("/slow")));
        QVERIFY(client.waitUntilAnswered(0));
        QSignalSpy finished(&client, &EventLogClient::finished);
        client.send(QJsonObject{{"event", "check launcher version"}}, "g", "d");
        client.send(QJsonObject{{"event", "launcher closed"}}, "g", "d");
        QCOMPARE(client.inFlight(), 2);
        QVERIFY(client.waitUntilAnswered(30000));
        QCOMPARE(finished.size(), 2);
        QCOMPARE(client.inFlight(), 0);
        QCOMPARE(server.requests().size(), 2);

        // An endpoint that never answers holds the exit up only for the bound.
        EventLogClient stuck(&manager, server.url(QStringLiteral("/silent")));
        stuck.send(QJsonObject{{"event", "launcher closed"}}, "g", "d");
        QVERIFY(!stuck.waitUntilAnswered(300));
        QCOMPARE(stuck.inFlight(), 1);
        server.release();
        QTRY_COMPARE_WITH_TIMEOUT(stuck.inFlight(), 0, 30000);
    }

    void defaultUrlIsTheBuildsLogUrl() {
        QNetworkAccessManager manager;
        EventLogClient client(&manager);
        QVERIFY(client.url().isValid());
        QCOMPARE(client.url().path(), QString("/c_bq_log/bq_log"));
    }
};

QTEST_GUILESS_MAIN(TestServices)
#include "test_services.moc"
