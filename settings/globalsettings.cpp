#include "settings/globalsettings.h"

#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QSettings>

namespace {

GlobalSettings *s_instance = nullptr;

const char *const iniKeys[5] = {"auto_launch", "language", "popup_on_exit", "close_game_action",
                                "popup_on_crash"};

// The catalogue's language table, in index order.
const char *const languageNames[8] = {"Chinese", "English",  "Dutch",   "French",
                                      "German",  "Japanese", "Spanish", "Turkish"};

const QString group = QStringLiteral("global_settings");

int readInt(QSettings *s, const char *key, int def) {
    const QVariant v = s->value(QLatin1String(key), def);
    // A value that is not a number reads as 0.
    return v.toInt();
}

} // namespace

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

    settings = new QSettings(filePath(), QSettings::IniFormat);
    settings->beginGroup(group);
    values[PopupOnExit] = readInt(settings, iniKeys[PopupOnExit], 1);
    values[CloseGameAction] = readInt(settings, iniKeys[CloseGameAction], 0);
    values[PopupOnCrash] = readInt(settings, iniKeys[PopupOnCrash], 1);
    values[Language] = readInt(settings, iniKeys[Language], -1);
    settings->endGroup();

    if (values[Language] == -1)
        values[Language] =
            languageIndexForSystemLanguage(QLocale::languageToString(QLocale::system().language()));

    values[AutoLaunch] = Platform::runValue(runValueName()) == expectedRunValue() ? 1 : 0;
}

int GlobalSettings::value(int key) const {
    if (key < 0 || key > 4)
        return -1;
    return values[key];
}

void GlobalSettings::setValue(int key, int value) {
    if (key < 0 || key > 4)
        return;
    values[key] = value;
    if (key == AutoLaunch) {
        const bool ok = value != 0 ? Platform::setRunValue(runValueName(), expectedRunValue())
                                   : Platform::removeRunValue(runValueName());
        if (!ok)
            qDebug() << "cannot change the start-at-login entry value=" << value;
        return;
    }
    settings->beginGroup(group);
    settings->setValue(QLatin1String(iniKeys[key]), value);
    settings->endGroup();
    // Written through at once, so a crash or a killed process loses nothing.
    settings->sync();
    if (settings->status() != QSettings::NoError)
        qDebug() << "cannot write settings file" << filePath();
}
