#pragma once

#include <QObject>
#include <QString>

class QSettings;

// Index of a user setting; a plain int in every call.
enum SettingKey {
    AutoLaunch = 0,
    Language = 1,
    PopupOnExit = 2,
    CloseGameAction = 3,
    PopupOnCrash = 4,
    DownloadLimitKbps = 5,          // kilobytes (1,024 bytes) per second for all downloads; 0: unlimited
    PauseDownloadsWhilePlaying = 6, // 1: downloads wait while the game runs; 0: they go on (the default)
    ShareWithLocalNetwork = 7, // 1: find launchers nearby and share downloads with them (the default); 0: off
    SettingCount = 8
};

// Process-wide store of the eight user settings: seven in "settings.ini" (group "global_settings")
// in the launcher directory, start at login in the platform's Run entry. Read once, written through.
class GlobalSettings : public QObject {
    Q_OBJECT
public:
    // The smallest download limit; a lower one (but 0, unlimited) is refused.
    static constexpr int MinDownloadLimitKbps = 100;
    // The largest: its rate in bytes per second still fits a 32-bit int.
    static constexpr int MaxDownloadLimitKbps = 2097151;

    static GlobalSettings *instance();
    static void release();

    int value(int key) const; // -1 for a key outside 0..7
    // Keys outside 0..7, a download limit refused and a switch (pause, sharing) other than 0 or 1
    // are ignored.
    void setValue(int key, int value);

    // Whether `kbps` can be the download limit: 0 (unlimited) or Min..MaxDownloadLimitKbps.
    static bool isDownloadLimit(qint64 kbps);

    // The start-at-login value this launcher writes: its native path between double quotes.
    static QString expectedRunValue();

    // Name of the Run entry ("Quelvane").
    static QString runValueName();

    // Language index for a system language name in English ("German" -> 4): the first of the
    // catalogue's language names contained in it, else 1 (English).
    static int languageIndexForSystemLanguage(const QString &englishLanguageName);

    // Full path of "settings.ini" in the launcher directory.
    static QString filePath();

signals:
    // A setting took a new value through setValue; what it governs follows at once (a value
    // written again unchanged says nothing).
    void valueChanged(int key, int value);

private:
    GlobalSettings();
    ~GlobalSettings() override;
    void load();

    QSettings *settings = nullptr;
    int values[SettingCount] = {0, 1, 0, 0, 1, 0, 0, 1};
};
