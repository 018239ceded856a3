#include "tools/pictures/offlinerun.h"

#include <QCoreApplication>
#include <QDebug>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>

#include "platform/platform.h"

int runOffline(int argc, char *argv[], const char *childMarker, const char *toolName) {
    QCoreApplication app(argc, argv);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString closed = QStringLiteral("http://127.0.0.1:9/");
    env.insert(QString::fromLatin1(childMarker), QStringLiteral("1"));
    env.insert(QStringLiteral("KESTRIVANE_TEST_CDN_BASE_URL"), closed + QStringLiteral("sea/win_update/"));
    env.insert(QStringLiteral("KESTRIVANE_TEST_LOG_URL"), closed + QStringLiteral("c_bq_log/bq_log"));
    env.insert(QStringLiteral("KESTRIVANE_TEST_CRASH_UPLOAD_URL"), closed + QStringLiteral("api/crash-logs"));
    env.insert(QStringLiteral("KESTRIVANE_TEST_LAUNCHER_VERSION"), QStringLiteral("0.11"));
    env.insert(QStringLiteral("KESTRIVANE_TEST_BUILD_MODE"), QString());
    // Pictures show what a player sees: the shipped fonts only, whatever this machine has installed.
    env.insert(QStringLiteral("FONTCONFIG_FILE"), QStringLiteral(KV_FONTS_CONF));
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), QCoreApplication::arguments().mid(1));
    if (!child.waitForFinished(10 * 60 * 1000) || child.exitStatus() != QProcess::NormalExit) {
        qWarning().nospace() << toolName << ": the picture run failed " << child.errorString();
        return 1;
    }
    return child.exitCode();
}

bool useFreshState(const QTemporaryDir &state) {
    if (!state.isValid()) {
        qWarning() << "cannot create a temporary directory";
        return false;
    }
    Platform::setLauncherDirOverride(state.path());
    qputenv("XDG_CONFIG_HOME", state.filePath(QStringLiteral("xdg")).toUtf8());
    QSettings ini(state.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    ini.setValue(QStringLiteral("global_settings/language"), 1);
    return true;
}
