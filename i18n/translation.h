#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

#include "i18n/translationsignals.h"

// The text catalogue: eight languages, texts read from ":/Translation/Translation_<Name>.txt",
// a font role per language, and languageChanged() after every successful switch.
// tr() takes keys; Translation::instance()->tr("LOADING") is the catalogue's text, not QObject::tr.
class Translation : public TranslationSignals {
public:
    static Translation *instance();

    static constexpr int LanguageCount = 8;
    static QString languageNameAt(int index); // "Chinese", "English", ... ; empty outside 0..7
    static QString fontRoleAt(int index);     // "chinese" for Chinese and Japanese, else "english"

    // Parses a translation file: "key=text" per line, "\n" pairs turned into line breaks,
    // a carriage return before a line feed dropped, empty lines skipped, a line without "="
    // entered with the whole line as key and text, the last of repeated keys kept.
    static QMap<QString, QString> parseTexts(const QByteArray &bytes);

    void setFontFamily(const QString &role, const QString &family);
    QString
    fontFamily(const QString &role) const; // family registered for a role ("default", "chinese", "english")
    void loadLanguage();
    void setLanguageIndex(int index);
    int languageIndex() const { return currentLanguage; }
    QString tr(const QString &key) const;
    QString languageName() const;
    QString imagePath(const QString &imageName) const;
    QString currentFontFamily() const { return currentFamily; }
    QString fontRole() const { return currentRole; }

private:
    Translation();

    int currentLanguage = 1;
    QMap<QString, QString> fontFamilies;
    QMap<QString, QString> textsByKey;
    QString currentFamily;
    QString currentRole;
};
