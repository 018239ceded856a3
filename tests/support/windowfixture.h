#pragma once

// Shared set-up of the in-process window tests: a temporary launcher directory, a private
// configuration home, and one HTTP server on 127.0.0.1 playing the CDN, the event log and the
// crash-upload endpoint (the build constants point at it through the environment: the test's
// main() is KV_LAUNCHER_TEST_MAIN). A test class derives from WindowFixture and gets its
// initTestCase/init/cleanup unless it declares its own (which then call the fixture's steps).

#include "download/versiontable.h"
#include "i18n/translation.h"
#include "launcher/launcherupdatertestaccess.h"
#include "platform/platform.h"
#include "settings/globalsettings.h"
#include "support/httpserver.h"
#include "support/testfiles.h"
#include "support/teststep.h"
#include "widgets/confirmdialog.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QNetworkReply>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace WindowTest {

const QByteArray CdnPrefix = "/sea/win_update/";
const QByteArray LogPath = "/c_bq_log/bq_log";
const QByteArray CrashPath = "/api/crash-logs";
const QByteArray VersionPath = CdnPrefix + "version3.txt";
const int LauncherEntrySize = 1000;

using TestFiles::md5Hex;
using TestFiles::randomBytes;
using TestFiles::readFile;
using TestFiles::writeFile;

inline QStringList argTexts(const TranslatableLabel *label) {
    QStringList texts;
    for (const LabelArg &a : label->args())
        texts << a.toText();
    return texts;
}

// Notes when the window receives its Close event (the window ends the process by closing).
class CloseWatcher : public QObject {
public:
    QElapsedTimer clock;
    qint64 closedAtMs = -1;
    int closeEvents = 0;
    explicit CloseWatcher(QObject *target) {
        target->installEventFilter(this);
        clock.start();
    }
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Close && closeEvents++ == 0)
            closedAtMs = clock.elapsed();
        return false;
    }
};

// Answers the next modal question of the window while it lives: the confirm or the cancel button
// of a ConfirmDialog (any other dialog is rejected), noting what the window showed meanwhile.
class QuestionAnswerer : public QObject {
public:
    bool asked = false;
    bool overlayShown = false;
    QString message;

    QuestionAnswerer(LauncherUpdater *window, bool confirm) {
        connect(&poll, &QTimer::timeout, this, [this, window, confirm]() {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            poll.stop();
            asked = true;
            overlayShown = LauncherUpdaterTestAccess::overlay(window)->isVisible();
            auto *question = qobject_cast<ConfirmDialog *>(dialog);
            if (!question) {
                dialog->reject();
                return;
            }
            message = question->contentLabel->text();
            QTest::mouseClick(confirm ? question->confirmButton : question->cancelButton, Qt::LeftButton);
        });
        poll.start(20);
    }

private:
    QTimer poll;
};

} // namespace WindowTest

class WindowFixture : public QObject {
    Q_OBJECT

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
        QVERIFY(root->isValid());
        dir = root->path() + QStringLiteral("/install");
        QVERIFY(QDir().mkpath(dir));
        const QString config = root->path() + QStringLiteral("/config");
        QVERIFY(QDir().mkpath(config));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        Platform::setLauncherDirOverride(dir);
        VersionTable::release();
        GlobalSettings::release();
        Translation::instance()->setLanguageIndex(1);
        Translation::instance()->loadLanguage();
        server->clearFaults();
        server->release(); // answers a failed test kept back
        server->clearFiles();
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
                if (reply->isRunning() && reply->url().path().toUtf8() == WindowTest::LogPath)
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
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        delete root;
        root = nullptr;
    }

    // Serves name in the given version and lists it in the version file (md5 overrides the listed digest).
    // Returns data.
    QByteArray publish(const QString &name, const QString &version, const QByteArray &data,
                       const QString &md5 = QString()) {
        if (release.contains(name))
            server->removeFile(remotePath(name, release.value(name).version));
        release.insert(name, {version, data, md5.isEmpty() ? WindowTest::md5Hex(data) : md5});
        server->setFile(remotePath(name, version), data);
        publishVersionFile();
        return data;
    }

    // Listed in the version file but not served (404).
    void publishMissing(const QString &name, const QString &version, int size) {
        release.insert(name, {version, QByteArray(size, 'm'), WindowTest::md5Hex(QByteArray(size, 'm'))});
        publishVersionFile();
    }

    // The published file comes at this many bytes a second.
    void throttle(const QString &name, qint64 bytesPerSecond) {
        HttpServer::Faults slow;
        slow.bytesPerSecond = bytesPerSecond;
        server->setFaults(remotePath(name, release.value(name).version), slow);
    }

    static QByteArray remotePath(const QString &name, const QString &version) {
        return WindowTest::CdnPrefix + QStringLiteral("v%1_%2").arg(version, name).toUtf8();
    }

    void publishVersionFile() { server->setFile(WindowTest::VersionPath, versionText()); }

    QByteArray versionText() const {
        QByteArray text = QStringLiteral("Kestrivane.exe:0.11:%1:%2\n")
                              .arg(WindowTest::md5Hex(QByteArray(WindowTest::LauncherEntrySize, 'L')))
                              .arg(WindowTest::LauncherEntrySize)
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

    // The update ends with the game ready and "UPDATE_FINISHED" shown.
    void waitForUpdateFinished(int timeoutMs = 30000) {
        QTRY_VERIFY_WITH_TIMEOUT(window && A::gameState(window) == 2, timeoutMs);
        QCOMPARE(ui()->gameSrcDownloadInfo->textKey(), QStringLiteral("UPDATE_FINISHED"));
    }

    // Runs the window's exit sequence, answering its question (when one comes) with the confirm
    // button or by cancelling. True when a question came.
    bool exitAnswering(bool confirm) {
        WindowTest::QuestionAnswerer answer(window, confirm);
        A::exitApp(window);
        return answer.asked;
    }

    // The window was left during a download: it is gone, its one "launcher closed" event counts
    // the file being fetched and the files of the update, and the next start offers to resume.
    void checkLeftDuringDownload(int currentFile, int fileCount) {
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("launcher closed")).size(), 1, 5000);
        const QJsonObject closed = events(QStringLiteral("launcher closed")).first();
        QCOMPARE(closed.value(QStringLiteral("curr downloading")).toInt(-1), currentFile);
        if (fileCount >= 0)
            QCOMPARE(closed.value(QStringLiteral("total_update_count")).toInt(-1), fileCount);
        QCOMPARE(manualResume().toString(), QStringLiteral("true"));
    }

    // download_config/manual_resume as the next start reads it, once the window has written its own.
    QVariant manualResume() const {
        return QSettings(dir + QStringLiteral("/config.ini"), QSettings::IniFormat)
            .value(QStringLiteral("download_config/manual_resume"));
    }

    QList<QJsonObject> events(const QString &name = QString()) const {
        QList<QJsonObject> result;
        for (const HttpServer::Request &r : server->requestsFor(WindowTest::LogPath)) {
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
                r.path.startsWith(WindowTest::CdnPrefix))
                ++n;
        }
        return n;
    }

protected slots:
    void initTestCase() {
        qApp->setQuitOnLastWindowClosed(false);
        QVERIFY(startServer());
    }
    void init() { setUpDirs(); }
    void cleanup() { tearDownDirs(); }
};
