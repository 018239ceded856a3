#pragma once

// What the window tests and the workflow tests share: a temporary launcher directory, a private
// configuration home, and one HTTP server on 127.0.0.1 playing the CDN, the event log and the
// crash-upload endpoint (the build constants point at it through the environment: see the test
// main() macros of windowfixture.h and workflowfixture.h), with a release published on it.

#include "archive/zipindexmaker.h"
#include "i18n/translation.h"
#include "patch/blockmap.h"
#include "platform/platform.h"
#include "settings/globalsettings.h"
#include "support/httpserver.h"
#include "support/testfiles.h"
#include "support/teststep.h"
#include "trust/versiontable.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace ReleaseTest {

const QByteArray CdnPrefix = "/sea/win_update/";
const QByteArray LogPath = "/c_bq_log/bq_log";
const QByteArray CrashPath = "/api/crash-logs";
const QByteArray VersionPath = CdnPrefix + "version3.txt";
const int LauncherEntrySize = 1000;

using TestFiles::md5Hex;
using TestFiles::randomBytes;
using TestFiles::readFile;
using TestFiles::writeFile;

// One line of a version file (with the block map's digest as a fifth field when given).
inline QByteArray line(const QString &name, const QString &version, const QString &md5, qint64 size,
                       const QString &mapDigest = QString()) {
    const QString fifth = mapDigest.isEmpty() ? QString() : QLatin1Char(':') + mapDigest;
    return QStringLiteral("%1:%2:%3:%4%5\n").arg(name, version, md5).arg(size).arg(fifth).toUtf8();
}

} // namespace ReleaseTest

// No Q_OBJECT: the fixtures deriving from it declare the test's slots.
class ReleaseFixture : public QObject {
public:
    struct Published {
        QString version;
        QByteArray data;
        QString md5; // as listed in the version file
        QString mapDigest;
    };

    HttpServer *server = nullptr;
    QTemporaryDir *root = nullptr;
    QString dir; // the launcher directory
    QMap<QString, Published> release;

    bool startServer() {
        server = new HttpServer(this);
        return server->listenOnAssignedPort();
    }

    void setUpDirs() {
        root = new QTemporaryDir();
        QVERIFY(root->isValid());
        dir = root->path() + QStringLiteral("/install");
        QVERIFY(QDir().mkpath(dir));
        const QString config = root->path() + QStringLiteral("/config");
        QVERIFY(QDir().mkpath(config));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        Platform::setLauncherDirOverride(dir);
        VersionTable::release();
        GlobalSettings::release();
        // Workflows under test neither search the machine's network nor serve on it, nor find
        // each other: tests/lan shares on a network of its own.
        GlobalSettings::instance()->setValue(ShareWithLocalNetwork, 0);
        Translation::instance()->setLanguageIndex(1);
        Translation::instance()->loadLanguage();
        server->clearFaults();
        server->release(); // answers a failed test kept back
        server->clearFiles();
        server->clearRequests();
        release.clear();
        comingPublished = false;
        publishVersionFile();
    }

    void tearDownDirs() {
        Translation::instance()->setLanguageIndex(1);
        GlobalSettings::release();
        VersionTable::release();
        Platform::setLauncherDirOverride(QString());
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        delete root;
        root = nullptr;
    }

    // Waits until the server has answered every event-log post among replies (their bytes may
    // already be in the socket: the server would read them during the next test).
    static void waitForLogPosts(const QObject *owner) {
        const auto pending = [owner]() {
            int n = 0;
            for (const QNetworkReply *reply : owner->findChildren<QNetworkReply *>()) {
                if (reply->isRunning() && reply->url().path().toUtf8() == ReleaseTest::LogPath)
                    ++n;
            }
            return n;
        };
        if (!QTest::qWaitFor([&] { return pending() == 0; }, 20000))
            qWarning("event-log posts still unanswered after 20 s");
    }

    // Serves name in the given version and lists it in the version file (md5 overrides the listed digest).
    // Returns data.
    QByteArray publish(const QString &name, const QString &version, const QByteArray &data,
                       const QString &md5 = QString()) {
        if (release.contains(name))
            server->removeFile(remotePath(name, release.value(name).version));
        release.insert(name, {version, data, md5.isEmpty() ? ReleaseTest::md5Hex(data) : md5, QString()});
        server->setFile(remotePath(name, version), data);
        publishVersionFile();
        return data;
    }

    // The block map of `data` served beside it, as kv-publish does. Returns the map.
    QByteArray serveMap(const QString &name, const QString &version, const QByteArray &data) {
        const QString path = root->filePath(QStringLiteral("map-source"));
        QByteArray map;
        if (!ReleaseTest::writeFile(path, data) || !BlockMap::make(path, &map).ok())
            qWarning("cannot make the block map of %s", qPrintable(name));
        QFile::remove(path);
        server->setFile(remotePath(name, version) + BlockMap::RemoteSuffix, map);
        return map;
    }
    // The entry index of the zip archive `data` served beside it, as kv-publish does.
    ZipIndex serveIndex(const QString &name, const QString &version, const QByteArray &data) {
        const QString path = root->filePath(QStringLiteral("index-source.zip"));
        ZipIndex index;
        if (!ReleaseTest::writeFile(path, data) || !ZipIndexMaker::make(path, &index).ok())
            qWarning("cannot make the entry index of %s", qPrintable(name));
        QFile::remove(path);
        server->setFile(remotePath(name, version) + ZipIndex::RemoteSuffix, index.toBytes());
        return index;
    }
    // A ".zip" gets its entry index, any other file its block map; returns the digest listed.
    QString serveMapOrIndex(const QString &name, const QString &version, const QByteArray &data) {
        return name.endsWith(QLatin1String(".zip"))
                   ? ZipIndex::digestHex(serveIndex(name, version, data).toBytes())
                   : BlockMap::digestHex(serveMap(name, version, data));
    }

    // Published with its block map beside it, as kv-publish does. Returns the map.
    QByteArray publishWithMap(const QString &name, const QString &version, const QByteArray &data) {
        const QByteArray map = serveMap(name, version, data);
        publish(name, version, data);
        release[name].mapDigest = BlockMap::digestHex(map);
        publishVersionFile();
        return map;
    }

    // A zip archive published with its entry index beside it, as kv-publish does. Returns the index.
    ZipIndex publishWithIndex(const QString &name, const QString &version, const QByteArray &data) {
        const ZipIndex index = serveIndex(name, version, data);
        publish(name, version, data);
        release[name].mapDigest = ZipIndex::digestHex(index.toBytes());
        publishVersionFile();
        return index;
    }

    // Listed in the version file but not served (404).
    void publishMissing(const QString &name, const QString &version, int size) {
        release.insert(
            name, {version, QByteArray(size, 'm'), ReleaseTest::md5Hex(QByteArray(size, 'm')), QString()});
        publishVersionFile();
    }

    // The published file comes at this many bytes a second.
    void throttle(const QString &name, qint64 bytesPerSecond) {
        HttpServer::Faults slow;
        slow.bytesPerSecond = bytesPerSecond;
        server->setFaults(remotePath(name, release.value(name).version), slow);
    }

    static QByteArray remotePath(const QString &name, const QString &version) {
        return ReleaseTest::CdnPrefix + QStringLiteral("v%1_%2").arg(version, name).toUtf8();
    }

    void publishVersionFile() { server->setFile(ReleaseTest::VersionPath, versionText()); }

    // The coming release beside the version file, unsigned: `files` (name -> version, bytes) served
    // under their versions (`withMaps`: each with its map or index) and the list of the release as
    // it will be. Returns the list.
    QByteArray publishComing(const QMap<QString, QPair<QString, QByteArray>> &files, bool withMaps = false) {
        QMap<QString, Published> coming = release;
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            coming.insert(it.key(),
                          {it->first, it->second, ReleaseTest::md5Hex(it->second),
                           withMaps ? serveMapOrIndex(it.key(), it->first, it->second) : QString()});
            server->setFile(remotePath(it.key(), it->first), it->second);
        }
        QByteArray text =
            ReleaseTest::line(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.11"),
                              ReleaseTest::md5Hex(QByteArray(ReleaseTest::LauncherEntrySize, 'L')),
                              ReleaseTest::LauncherEntrySize);
        for (auto it = coming.cbegin(); it != coming.cend(); ++it)
            text += ReleaseTest::line(it.key(), it->version, it->md5, it->data.size(), it->mapDigest);
        server->setFile(ReleaseTest::VersionPath + ".coming", text);
        comingPublished = true;
        return text;
    }
    // A coming release was published in this test: the workflows it makes look for it.
    bool comingPublished = false;

    QByteArray versionText() const {
        QByteArray text =
            ReleaseTest::line(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.11"),
                              ReleaseTest::md5Hex(QByteArray(ReleaseTest::LauncherEntrySize, 'L')),
                              ReleaseTest::LauncherEntrySize);
        for (auto it = release.cbegin(); it != release.cend(); ++it)
            text += ReleaseTest::line(it.key(), it->version, it->md5, it->data.size(), it->mapDigest);
        return text;
    }

    int versionRequests() const { return server->requestsFor(ReleaseTest::VersionPath).size(); }

    QList<QJsonObject> events(const QString &name = QString()) const {
        QList<QJsonObject> result;
        for (const HttpServer::Request &r : server->requestsFor(ReleaseTest::LogPath)) {
            const QJsonObject o = QJsonDocument::fromJson(r.body).object();
            if (name.isEmpty() || o.value(QStringLiteral("event")).toString() == name)
                result.append(o);
        }
        return result;
    }

    // A text field of the first event of that name; empty when no such event was sent.
    QString eventField(const QString &name, const QString &field) const {
        const QList<QJsonObject> found = events(name);
        return found.isEmpty() ? QString() : found.first().value(field).toString();
    }

    // config.ini as the next launcher start reads it.
    QVariant configEntry(const QString &key) const {
        return QSettings(dir + QStringLiteral("/config.ini"), QSettings::IniFormat).value(key);
    }
    QString configValue(const QString &key) const { return configEntry(key).toString(); }
    bool configHas(const QString &key) const { return configEntry(key).isValid(); }
    QVariant manualResume() const { return configEntry(QStringLiteral("download_config/manual_resume")); }
    QStringList configKeys(const QString &group) const {
        QSettings s(dir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        s.beginGroup(group);
        return s.childKeys();
    }
    void writeConfig(const QString &key, const QVariant &value) {
        QSettings(dir + QStringLiteral("/config.ini"), QSettings::IniFormat).setValue(key, value);
    }

    // The stub game (KV_FAKEGAME_BINARY) installed as the game, told what to do through its fakegame.ini.
    void installStubGame(const QByteArray &gameIni) {
        const QString stub = qEnvironmentVariable("KV_FAKEGAME_BINARY");
        QVERIFY2(QFile::exists(stub), qPrintable(stub));
        QVERIFY(QFile::copy(stub, dir + QStringLiteral("/Quelvane.exe")));
        QVERIFY(ReleaseTest::writeFile(dir + QStringLiteral("/fakegame.ini"), "headless=1\n" + gameIni));
    }
    QList<HttpServer::Request> uploads() const { return server->requestsFor(ReleaseTest::CrashPath); }

    // Bytes the server sent of one published file: each ranged request's range, or the whole file.
    qint64 bytesFetched(const QString &name, const QString &version, qint64 size) const {
        qint64 sum = 0;
        static const QRegularExpression rx(QStringLiteral("^bytes=(\\d+)-(\\d+)$"));
        for (const HttpServer::Request &r : server->requestsFor(remotePath(name, version))) {
            const QRegularExpressionMatch m = rx.match(QString::fromLatin1(r.range()));
            sum += m.hasMatch() ? qMin(size - 1, m.captured(2).toLongLong()) - m.captured(1).toLongLong() + 1
                                : size;
        }
        return sum;
    }

    int getsFor(const QString &name) const {
        int n = 0;
        for (const HttpServer::Request &r : server->requests()) {
            if (r.method == "GET" && r.path.endsWith("_" + name.toUtf8()) &&
                r.path.startsWith(ReleaseTest::CdnPrefix))
                ++n;
        }
        return n;
    }
};
