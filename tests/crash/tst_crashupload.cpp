#include "core/buildconstants.h"
#include "multipart.h"
#include "platform/platform.h"
#include "support/httpserver.h"
#include "support/testfiles.h"
#include "workflow/crashupload.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using TestFiles::randomBytes;
using TestFiles::writeFile;

namespace {

const QByteArray uploadPath = "/api/crash-logs";

QByteArray disposition(const char *name) {
    return QByteArray("form-data; name=\"") + name + '"';
}

} // namespace

class TestCrashUpload : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void sendsSixPartsInOrder();
    void sendsEmptyPartsToo();
    void guidNeedsExactlyOneDot_data();
    void guidNeedsExactlyOneDot();
    void unreadableArchiveStillSends();
    void postsToBuildConstantUrl();
    void silentServerTimesOut();
    void md5IsStreamedOverLargeFile();
    void findsOnlyASingleArchive();

private:
    // Posts and waits for the reply; returns the request the server saw.
    bool upload(const QString &archiveName, const QByteArray &gclid, const QByteArray &deviceId,
                const QString &description, HttpServer::Request *request, QList<FormPart> *parts);

    HttpServer server;
    QNetworkAccessManager nam;
    QScopedPointer<QTemporaryDir> tmp;
    QString crashDir;
};

void TestCrashUpload::initTestCase() {
    QVERIFY(server.listenOnAssignedPort());
}

void TestCrashUpload::init() {
    server.clearRequests();
    server.clearFaults();
    tmp.reset(new QTemporaryDir);
    QVERIFY(tmp->isValid());
    crashDir = tmp->filePath("crash_info");
    QVERIFY(QDir().mkpath(crashDir));
}

bool TestCrashUpload::upload(const QString &archiveName, const QByteArray &gclid, const QByteArray &deviceId,
                             const QString &description, HttpServer::Request *request,
                             QList<FormPart> *parts) {
    QNetworkReply *reply = postCrashReport(&nam, QUrl(server.url(uploadPath)), crashDir, archiveName, gclid,
                                           deviceId, description);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    const bool done = finished.wait(10000);
    const QNetworkReply::NetworkError error = reply->error();
    delete reply;
    if (!done || error != QNetworkReply::NoError || server.requestsFor(uploadPath).size() != 1) {
        qWarning() << "upload failed" << done << error << server.requests().size();
        return false;
    }
    *request = server.requestsFor(uploadPath).first();
    bool ok = false;
    *parts = parseMultipart(request->body, multipartBoundary(request->headers.value("content-type")), &ok);
    if (!ok)
        qWarning() << "malformed multipart body" << request->headers.value("content-type");
    return ok;
}

void TestCrashUpload::sendsSixPartsInOrder() {
    const QByteArray archive = randomBytes(300 * 1024 + 3, 5);
    QVERIFY(writeFile(crashDir + "/5f2c9e1a-77.zip", archive));
    const QString description = QString::fromUtf8("Crashed in the \xc3\xa9"
                                                  "diteur after loading a map");

    HttpServer::Request request;
    QList<FormPart> parts;
    QVERIFY(upload("5f2c9e1a-77.zip", "gclid-42", "device \xc3\xbc", description, &request, &parts));

    QCOMPARE(request.method, QByteArray("POST"));
    QVERIFY(request.headers.value("content-type").startsWith("multipart/form-data"));
    QCOMPARE(parts.size(), 6);
    const char *names[] = {"crash_guid", "crash_md5", "gclid", "device_id", "description"};
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(parts[i].headers.value("content-disposition"), disposition(names[i]));
        QVERIFY(!parts[i].headers.contains("content-type"));
    }
    QCOMPARE(parts[0].body, QByteArray("5f2c9e1a-77"));
    QCOMPARE(parts[1].body, TestFiles::md5Hex(archive).toLatin1());
    QCOMPARE(parts[2].body, QByteArray("gclid-42"));
    QCOMPARE(parts[3].body, QByteArray("device \xc3\xbc"));
    QCOMPARE(parts[4].body, description.toUtf8());
    QCOMPARE(parts[5].headers.value("content-disposition"),
             QByteArray("form-data; name=\"crash_zip\"; filename=\"5f2c9e1a-77.zip\""));
    QCOMPARE(parts[5].headers.value("content-type"), QByteArray("application/x-zip-compressed"));
    QVERIFY(parts[5].body == archive);
    // The archive stays where it is after the upload.
    QVERIFY(QFile::exists(crashDir + "/5f2c9e1a-77.zip"));
}

void TestCrashUpload::sendsEmptyPartsToo() {
    QVERIFY(writeFile(crashDir + "/id.zip", "PK"));
    HttpServer::Request request;
    QList<FormPart> parts;
    QVERIFY(upload("id.zip", QByteArray(), QByteArray(), QString(), &request, &parts));
    QCOMPARE(parts.size(), 6);
    QCOMPARE(parts[0].body, QByteArray("id"));
    QCOMPARE(parts[2].headers.value("content-disposition"), disposition("gclid"));
    QVERIFY(parts[2].body.isEmpty());
    QVERIFY(parts[3].body.isEmpty());
    QVERIFY(parts[4].body.isEmpty());
    QCOMPARE(parts[5].body, QByteArray("PK"));
}

void TestCrashUpload::guidNeedsExactlyOneDot_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("guid");
    QTest::newRow("one dot") << "abc.zip" << QByteArray("abc");
    QTest::newRow("no dot") << "abczip" << QByteArray();
    QTest::newRow("two dots") << "a.b.zip" << QByteArray();
    QTest::newRow("leading dot") << ".zip" << QByteArray();
    QTest::newRow("upper case") << "CASE.ZIP" << QByteArray("CASE");
    QTest::newRow("non-ascii") << QString::fromUtf8("\xc3\xa9t\xc3\xa9.zip")
                               << QByteArray("\xc3\xa9t\xc3\xa9");
}

void TestCrashUpload::guidNeedsExactlyOneDot() {
    QFETCH(QString, name);
    QFETCH(QByteArray, guid);
    QCOMPARE(crashGuid(name), guid);
    if (name.startsWith('.'))
        return; // hidden file: the upload itself is covered by the other rows
    QVERIFY(writeFile(crashDir + "/" + name, "zip"));
    HttpServer::Request request;
    QList<FormPart> parts;
    QVERIFY(upload(name, "g", "d", "x", &request, &parts));
    QCOMPARE(parts.size(), 6);
    QCOMPARE(parts[0].body, guid);
    QCOMPARE(parts[5].body, QByteArray("zip"));
}

void TestCrashUpload::unreadableArchiveStillSends() {
    HttpServer::Request request;
    QList<FormPart> parts;
    QTest::ignoreMessage(QtDebugMsg, qPrintable("cannot read crash archive " + crashDir + "/gone.zip"));
    QVERIFY(upload("gone.zip", "g", "d", "desc", &request, &parts));
    QCOMPARE(parts.size(), 6);
    QCOMPARE(parts[0].body, QByteArray("gone"));
    QVERIFY(parts[1].body.isEmpty());
    QCOMPARE(parts[4].body, QByteArray("desc"));
    QVERIFY(parts[5].body.isEmpty());
}

void TestCrashUpload::postsToBuildConstantUrl() {
    QCOMPARE(crashUploadUrl, server.url(uploadPath));
    Platform::setLauncherDirOverride(tmp->path());
    const QString dir = crashInfoDir();
    Platform::setLauncherDirOverride(QString());
    QCOMPARE(dir, tmp->path() + "/crash_info");

    QVERIFY(writeFile(dir + "/const.zip", "zipdata"));
    QNetworkReply *reply = postCrashReport(&nam, dir, "const.zip", "g", "d", "x");
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    delete reply;
    QCOMPARE(server.requestsFor(uploadPath).size(), 1);
    QVERIFY(server.requestsFor(uploadPath).first().body.contains("zipdata"));
}

void TestCrashUpload::silentServerTimesOut() {
    HttpServer::Faults silent;
    silent.hold = true;
    server.setFaults(uploadPath, silent);
    QVERIFY(writeFile(crashDir + "/slow.zip", randomBytes(1000, 1)));

    QElapsedTimer timer;
    timer.start();
    QNetworkReply *reply =
        postCrashReport(&nam, QUrl(server.url(uploadPath)), crashDir, "slow.zip", "", "", "");
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QVERIFY(reply->error() != QNetworkReply::NoError);
    QVERIFY(timer.elapsed() < 10000);
    // The whole request reached the server before it went silent.
    QCOMPARE(server.requestsFor(uploadPath).size(), 1);
    delete reply;
    server.release();
}

void TestCrashUpload::md5IsStreamedOverLargeFile() {
    const QByteArray data = randomBytes(3 * 1024 * 1024 + 1, 9);
    QVERIFY(writeFile(crashDir + "/big.zip", data));
    QCOMPARE(fileMd5Hex(crashDir + "/big.zip"), TestFiles::md5Hex(data).toLatin1());
    QCOMPARE(fileMd5Hex(crashDir + "/empty.zip"), QByteArray());
    QVERIFY(writeFile(crashDir + "/zero.zip", QByteArray()));
    QCOMPARE(fileMd5Hex(crashDir + "/zero.zip"), QByteArray("d41d8cd98f00b204e9800998ecf8427e"));
}

void TestCrashUpload::findsOnlyASingleArchive() {
    QCOMPARE(findCrashArchive(tmp->filePath("missing")), QString());
    QCOMPARE(findCrashArchive(crashDir), QString());

    QVERIFY(writeFile(crashDir + "/notes.txt", "x"));
    QVERIFY(QDir().mkpath(crashDir + "/folder.zip")); // a folder is never the archive
    QCOMPARE(findCrashArchive(crashDir), QString());

    QVERIFY(writeFile(crashDir + "/.hidden.zip", "x"));
    QCOMPARE(findCrashArchive(crashDir), QString());

    QVERIFY(writeFile(crashDir + "/first.zip", "x"));
    QCOMPARE(findCrashArchive(crashDir), QString("first.zip"));

    QVERIFY(writeFile(crashDir + "/second.zip", "x"));
    QCOMPARE(findCrashArchive(crashDir), QString());
}

KV_HTTP_TEST_MAIN(QCoreApplication, TestCrashUpload,
                  {"KESTRIVANE_TEST_CRASH_UPLOAD_URL", "http://127.0.0.1:%1/api/crash-logs"})
#include "tst_crashupload.moc"
