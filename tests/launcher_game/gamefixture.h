#pragma once

// Shared set-up of the in-process window tests: a temporary launcher directory, a private
// configuration home, and one HTTP server on 127.0.0.1 playing the CDN, the event log and the
// crash-upload endpoint (the build constants point at it through the environment).

#include "gametestaccess.h"

#include "download/versiontable.h"
#include "i18n/translation.h"
#include "platform/platform.h"
#include "settings/globalsettings.h"
#include "support/httpserver.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace GameTest {

const QByteArray CdnPrefix = "/sea/win_update/";
const QByteArray LogPath = "/c_bq_log/bq_log";
const QByteArray CrashPath = "/api/crash-logs";
const QByteArray VersionPath = CdnPrefix + "version3.txt";
const int LauncherEntrySize = 1000;

inline QString md5Hex(const QByteArray &data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

inline QByteArray randomBytes(int size, quint32 seed) {
    QRandomGenerator gen(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(gen.bounded(256));
    return data;
}

inline QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

inline QStringList argTexts(const TranslatableLabel *label) {
    QStringList texts;
    for (const LabelArg &a : label->args())
        texts << a.toText();
    return texts;
}

} // namespace GameTest

// main() of these tests: the parent picks a port and runs the test again with the endpoints in
// the environment; the child listens on that port.
#define KV_GAME_TEST_MAIN(TestClass)                                                                         \
    int main(int argc, char **argv) {                                                                        \
        const int parentResult = HttpServer::runChildWithPort(                                               \
            argc, argv,                                                                                      \
            {{"KESTRIVANE_TEST_CDN_BASE_URL", QStringLiteral("http://127.0.0.1:%1/sea/win_update/")},        \
             {"KESTRIVANE_TEST_LOG_URL", QStringLiteral("http://127.0.0.1:%1/c_bq_log/bq_log")},             \
             {"KESTRIVANE_TEST_CRASH_UPLOAD_URL", QStringLiteral("http://127.0.0.1:%1/api/crash-logs")}});   \
        if (parentResult >= 0)                                                                               \
            return parentResult;                                                                             \
        QApplication app(argc, argv);                                                                        \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                             \
        TestClass tc;                                                                                        \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }

class GameFixture : public QObject {
public:
    using A = LauncherUpdaterTestAccess;

    struct Published {
        QString version;
        QByteArray data;
        QString md5; // as listed in the version file
    };

    HttpServer *server = nullptr;
    QTemporaryDir *root = nullptr;
    QString dir; // the launcher directory
    LauncherUpdater *window = nullptr;
    QMap<QString, Published> release;

    bool startServer() {
        server = new HttpServer(this);
        return server->listenOnAssignedPort();
    }

    void setUpDirs() {
        root = new QTemporaryDir();
        dir = root->path() + QStringLiteral("/install");
        QDir().mkpath(dir);
        const QString config = root->path() + QStringLiteral("/config");
        QDir().mkpath(config);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        Platform::setLauncherDirOverride(dir);
        VersionTable::release();
        GlobalSettings::release();
        Translation::instance()->setLanguageIndex(1);
        Translation::instance()->loadLanguage();
        server->clearFaults();
        server->release(); // answers a failed test kept back
        server->clearRequests();
        release.clear();
        publishVersionFile();
    }

    // Event-log posts of the window still on their way. Deleting the window aborts them, but their
    // bytes may already be in the socket: the server would read them during the next test.
    int pendingLogPosts() const {
        int n = 0;
        if (window) {
            for (const QNetworkReply *reply : window->findChildren<QNetworkReply *>()) {
                if (reply->isRunning() && reply->url().path().toUtf8() == GameTest::LogPath)
                    ++n;
            }
        }
        return n;
    }

    // Deletes the window once the server has answered every event it sent.
    void deleteWindowQuietly() {
        QElapsedTimer waited;
        waited.start();
        while (pendingLogPosts() > 0 && waited.elapsed() < 20000)
            QTest::qWait(20);
        if (pendingLogPosts() > 0)
            qWarning("event-log posts still unanswered after 20 s");
        delete window;
        window = nullptr;
    }

    void tearDownDirs() {
        server->release();
        deleteWindowQuietly();
        Translation::instance()->setLanguageIndex(1);
        GlobalSettings::release();
        VersionTable::release();
        Platform::setLauncherDirOverride(QString());
        delete root;
        root = nullptr;
    }

    // Serves name in the given version and lists it in the version file (md5 overrides the listed digest).
    void publish(const QString &name, const QString &version, const QByteArray &data,
                 const QString &md5 = QString()) {
        if (release.contains(name))
            server->removeFile(remotePath(name, release.value(name).version));
        release.insert(name, {version, data, md5.isEmpty() ? GameTest::md5Hex(data) : md5});
        server->setFile(remotePath(name, version), data);
        publishVersionFile();
    }

    // Listed in the version file but not served (404).
    void publishMissing(const QString &name, const QString &version, int size) {
        release.insert(name, {version, QByteArray(size, 'm'), GameTest::md5Hex(QByteArray(size, 'm'))});
        publishVersionFile();
    }

    static QByteArray remotePath(const QString &name, const QString &version) {
        return GameTest::CdnPrefix + QStringLiteral("v%1_%2").arg(version, name).toUtf8();
    }

    void publishVersionFile() { server->setFile(GameTest::VersionPath, versionText()); }

    QByteArray versionText() const {
        QByteArray text = QStringLiteral("Kestrivane.exe:0.11:%1:%2\n")
                              .arg(GameTest::md5Hex(QByteArray(GameTest::LauncherEntrySize, 'L')))
                              .arg(GameTest::LauncherEntrySize)
                              .toUtf8();
        for (auto it = release.cbegin(); it != release.cend(); ++it)
            text += QStringLiteral("%1:%2:%3:%4\n")
                        .arg(it.key(), it->version, it->md5)
                        .arg(it->data.size())
                        .toUtf8();
        return text;
    }

    LauncherUpdater *makeWindow() {
        window = new LauncherUpdater();
        window->show();
        return window;
    }

    void closeWindow() {
        deleteWindowQuietly();
        VersionTable::release();
    }

    Ui::LauncherUpdater *ui() const { return A::ui(window); }

    QList<QJsonObject> events(const QString &name = QString()) const {
        QList<QJsonObject> result;
        for (const HttpServer::Request &r : server->requestsFor(GameTest::LogPath)) {
            const QJsonObject o = QJsonDocument::fromJson(r.body).object();
            if (name.isEmpty() || o.value(QStringLiteral("event")).toString() == name)
                result.append(o);
        }
        return result;
    }

    // A fresh reader of config.ini, as the next launcher start would see it.
    QString configValue(const QString &key) const {
        QSettings s(dir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        return s.value(key).toString();
    }
    bool configHas(const QString &key) const {
        QSettings s(dir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        return s.contains(key);
    }
    QStringList configKeys(const QString &group) const {
        QSettings s(dir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        s.beginGroup(group);
        return s.childKeys();
    }
    void writeConfig(const QString &key, const QVariant &value) {
        QSettings s(dir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        s.setValue(key, value);
    }

    int getsFor(const QString &name) const {
        int n = 0;
        for (const HttpServer::Request &r : server->requests()) {
            if (r.method == "GET" && r.path.endsWith("_" + name.toUtf8()) &&
                r.path.startsWith(GameTest::CdnPrefix))
                ++n;
        }
        return n;
    }
};
