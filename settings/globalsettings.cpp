#include "settings/globalsettings.h"

#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QSettings>

namespace {

GlobalSettings *s_instance = nullptr;

const char *const iniKeys[SettingCount] = {"auto_launch",
                                           "language",
                                           "popup_on_exit",
                                           "close_game_action",
                                           "popup_on_crash",
                                           "download_limit_kbps",
                                           "pause_downloads_while_playing",
                                           "share_with_local_network"};

// The catalogue's language table, in index order.
const char *const languageNames[8] = {"Chinese", "English",  "Dutch",   "French",
                                      "German",  "Japanese", "Spanish", "Turkish"};

const QString group = QStringLiteral("global_settings");

int readInt(QSettings *s, const char *key, int def) {
    const QVariant v = s->value(QLatin1String(key), def);
    // A value that is not a number reads as 0.
    return v.toInt();
}

// The download limit as an administrator or a script may have written it: one that cannot be
// a limit is refused and the downloads go unlimited, rather than crawling at a few bytes.
int readDownloadLimit(QSettings *s) {
    const QVariant v = s->value(QLatin1String(iniKeys[DownloadLimitKbps]));
    if (!v.isValid())
        return 0;
    bool ok = false;
    const qint64 kbps = v.toString().trimmed().toLongLong(&ok);
    if (ok && GlobalSettings::isDownloadLimit(kbps))
        return int(kbps);
    qWarning() << "download limit refused, downloads unlimited" << GlobalSettings::filePath() << v.toString()
               << "(0 or at least" << GlobalSettings::MinDownloadLimitKbps << "kilobytes per second)";
    return 0;
}

// The pause switch as an administrator or a script may have written it: 0 or 1, anything else is
// refused and the downloads go on while the game runs, as they do by default.
int readPauseWhilePlaying(QSettings *s) {
    const QVariant v = s->value(QLatin1String(iniKeys[PauseDownloadsWhilePlaying]));
    if (!v.isValid())
        return 0;
    const QString text = v.toString().trimmed();
    if (text == QLatin1String("1"))
        return 1;
    if (text == QLatin1String("0"))
        return 0;
    qWarning() << "pause downloads while playing refused, downloads not paused" << GlobalSettings::filePath()
               << v.toString() << "(0 or 1)";
    return 0;
}

// Sharing as an administrator or a script may have written it: 1 on, 0 off. It tells the local
// network that the game is installed and when it runs, so a value meant otherwise ("false", "no")
// turns it off rather than on.
int readShareWithLocalNetwork(QSettings *s) {
    const QVariant v = s->value(QLatin1String(iniKeys[ShareWithLocalNetwork]));
    if (!v.isValid())
        return 1;
    const QString text = v.toString().trimmed();
    if (text == QLatin1String("1"))
        return 1;
    if (text == QLatin1String("0"))
        return 0;
    qWarning() << "share with local network refused, sharing off" << GlobalSettings::filePath()
               << v.toString() << "(0 or 1)";
    return 0;
}

} // namespace

bool GlobalSettings::isDownloadLimit(qint64 kbps) {
    return kbps == 0 || (kbps >= MinDownloadLimitKbps && kbps <= MaxDownloadLimitKbps);
}

GlobalSettings *GlobalSettings::instance() {
    if (!s_instance) {
        s_instance = new GlobalSettings;
        s_instance->load();
    }
    return s_instance;
}

void GlobalSettings::release() {
    delete s_instance;
    s_instance = nullptr;
}

GlobalSettings::GlobalSettings() = default;

GlobalSettings::~GlobalSettings() {
    delete settings;
}

QString GlobalSettings::filePath() {
    return Platform::launcherDir() + QStringLiteral("/settings.ini");
}

QString GlobalSettings::runValueName() {
    return QStringLiteral("Quelvane");
}

QString GlobalSettings::expectedRunValue() {
    return QLatin1Char('"') + QDir::toNativeSeparators(Platform::launcherExecutablePath()) + QLatin1Char('"');
}

int GlobalSettings::languageIndexForSystemLanguage(const QString &englishLanguageName) {
    for (int i = 0; i < 8; ++i) {
        if (englishLanguageName.contains(QLatin1String(languageNames[i]), Qt::CaseSensitive))
            return i;
    }
    return 1;
}

void GlobalSettings::load() {
    values[AutoLaunch] = 0;
    values[Language] = 1;
    values[PopupOnExit] = 0;
    values[CloseGameAction] = 0;
    values[PopupOnCrash] = 1;
    values[DownloadLimitKbps] = 0;
    values[PauseDownloadsWhilePlaying] = 0;
    values[ShareWithLocalNetwork] = 1;

    settings = new QSettings(filePath(), QSettings::IniFormat);
    settings->beginGroup(group);
    values[PopupOnExit] = readInt(settings, iniKeys[PopupOnExit], 1);
    values[CloseGameAction] = readInt(settings, iniKeys[CloseGameAction], 0);
    values[PopupOnCrash] = readInt(settings, iniKeys[PopupOnCrash], 1);
    values[Language] = readInt(settings, iniKeys[Language], -1);
    values[DownloadLimitKbps] = readDownloadLimit(settings);
    values[PauseDownloadsWhilePlaying] = readPauseWhilePlaying(settings);
    values[ShareWithLocalNetwork] = readShareWithLocalNetwork(settings);
    settings->endGroup();

    if (values[Language] == -1)
        values[Language] =
            languageIndexForSystemLanguage(QLocale::languageToString(QLocale::system().language()));

    values[AutoLaunch] = Platform::runValue(runValueName()) == expectedRunValue() ? 1 : 0;
}

int GlobalSettings::value(int key) const {
    if (key < 0 || key >= SettingCount)
        return -1;
    return values[key];
}

void GlobalSettings::setValue(int key, int value) {
    if (key < 0 || key >= SettingCount)
        return;
    if (key == DownloadLimitKbps && !isDownloadLimit(value)) {
        qWarning() << "download limit refused" << value << "(0 or at least" << MinDownloadLimitKbps
                   << "kilobytes per second)";
        return;
    }
    if (key == PauseDownloadsWhilePlaying && value != 0 && value != 1) {
        qWarning() << "pause downloads while playing refused" << value << "(0 or 1)";
        return;
    }
    if (key == ShareWithLocalNetwork && value != 0 && value != 1) {
        qWarning() << "share with local network refused" << value << "(0 or 1)";
        return;
    }
    const bool changed = values[key] != value;
    values[key] = value;
    if (key == AutoLaunch) {
        const bool ok = value != 0 ? Platform::setRunValue(runValueName(), expectedRunValue())
                                   : Platform::removeRunValue(runValueName());
        if (!ok)
            qDebug() << "cannot change the start-at-login entry value=" << value;
    } else {
        settings->beginGroup(group);
        settings->setValue(QLatin1String(iniKeys[key]), value);
        settings->endGroup();
        // Written through at once, so a crash or a killed process loses nothing.
        settings->sync();
        if (settings->status() != QSettings::NoError)
            qDebug() << "cannot write settings file" << filePath();
    }
    if (changed)
        emit valueChanged(key, value);
}
