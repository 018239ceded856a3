#pragma once

#include <QString>

class QSettings;

// Index of a user setting; a plain int in every call.
enum SettingKey { AutoLaunch = 0, Language = 1, PopupOnExit = 2, CloseGameAction = 3, PopupOnCrash = 4 };

// Process-wide store of the five user settings: four in "settings.ini" (group "global_settings")
// in the launcher directory, start at login in the platform's Run entry. Read once, written through.
class GlobalSettings {
public:
    static GlobalSettings *instance();
    static void release();

    int value(int key) const;          // -1 for a key outside 0..4
    void setValue(int key, int value); // keys outside 0..4 are ignored

    // The start-at-login value this launcher writes: its native path between double quotes.
    static QString expectedRunValue();

    // Name of the Run entry ("Quelvane").
    static QString runValueName();

    // Language index for a system language name in English ("German" -> 4): the first of the
    // catalogue's language names contained in it, else 1 (English).
    static int languageIndexForSystemLanguage(const QString &englishLanguageName);

    // Full path of "settings.ini" in the launcher directory.
    static QString filePath();

private:
    GlobalSettings();
    ~GlobalSettings();
    void load();

    QSettings *settings = nullptr;
    int values[5] = {0, 1, 0, 0, 1};
};
