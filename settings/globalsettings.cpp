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
    delete m_settings;
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
    m_values[AutoLaunch] = 0;
    m_values[Language] = 1;
    m_values[PopupOnExit] = 0;
    m_values[CloseGameAction] = 0;
    m_values[PopupOnCrash] = 1;

    m_settings = new QSettings(filePath(), QSettings::IniFormat);
    m_settings->beginGroup(group);
    m_values[PopupOnExit] = readInt(m_settings, iniKeys[PopupOnExit], 1);
    m_values[CloseGameAction] = readInt(m_settings, iniKeys[CloseGameAction], 0);
    m_values[PopupOnCrash] = readInt(m_settings, iniKeys[PopupOnCrash], 1);
    m_values[Language] = readInt(m_settings, iniKeys[Language], -1);
    m_settings->endGroup();

    if (m_values[Language] == -1)
        m_values[Language] =
            languageIndexForSystemLanguage(QLocale::languageToString(QLocale::system().language()));

    m_values[AutoLaunch] = Platform::runValue(runValueName()) == expectedRunValue() ? 1 : 0;
}

int GlobalSettings::value(int key) const {
    if (key < 0 || key > 4)
        return -1;
    return m_values[key];
}

void GlobalSettings::setValue(int key, int value) {
    if (key < 0 || key > 4)
        return;
    m_values[key] = value;
    if (key == AutoLaunch) {
        const bool ok = value != 0 ? Platform::setRunValue(runValueName(), expectedRunValue())
                                   : Platform::removeRunValue(runValueName());
        if (!ok)
            qDebug() << "cannot change the start-at-login entry value=" << value;
        return;
    }
    m_settings->beginGroup(group);
    m_settings->setValue(QLatin1String(iniKeys[key]), value);
    m_settings->endGroup();
    // Written through at once, so a crash or a killed process loses nothing.
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        qDebug() << "cannot write settings file" << filePath();
}
