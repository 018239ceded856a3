#include "i18n/translation.h"

#include "settings/globalsettings.h"

#include <QDebug>
#include <QFile>

namespace {

const char *const languageNames[Translation::LanguageCount] = {"Chinese", "English",  "Dutch",   "French",
                                                               "German",  "Japanese", "Spanish", "Turkish"};

// The catalogue files are a few kilobytes; refuse anything absurd.
constexpr qint64 maxTranslationFileSize = 4 << 20;

} // namespace

Translation *Translation::instance() {
    static Translation *catalogue = new Translation;
    return catalogue;
}

Translation::Translation() {
    const int stored = GlobalSettings::instance()->value(Language);
    // The store hands over whatever the file holds; only real languages are usable here.
    currentLanguage = (stored >= 0 && stored < LanguageCount) ? stored : 1;
}

QString Translation::languageNameAt(int index) {
    if (index < 0 || index >= LanguageCount)
        return QString();
    return QLatin1String(languageNames[index]);
}

QString Translation::fontRoleAt(int index) {
    return (index == 0 || index == 5) ? QStringLiteral("chinese") : QStringLiteral("english");
}

QMap<QString, QString> Translation::parseTexts(const QByteArray &bytes) {
    QMap<QString, QString> texts;
    const int nul = bytes.indexOf('\0');
    QString content = QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
    content.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    const QVector<QStringRef> lines = content.splitRef(QLatin1Char('\n'));
    for (const QStringRef &line : lines) {
        if (line.isEmpty())
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0) {
            texts.insert(line.toString(), line.toString());
            continue;
        }
        QString text = line.mid(eq + 1).toString();
        text.replace(QStringLiteral("\\n"), QStringLiteral("\n"));
        texts.insert(line.left(eq).toString(), text);
    }
    return texts;
}

void Translation::setFontFamily(const QString &role, const QString &family) {
    fontFamilies.insert(role, family);
}

QString Translation::fontFamily(const QString &role) const {
    return fontFamilies.value(role);
}

void Translation::loadLanguage() {
    qDebug().noquote().nospace() << "loadLanguage " << languageName();

    currentRole = fontRoleAt(currentLanguage);
    if (!fontFamilies.contains(currentRole))
        fontFamilies.insert(currentRole, QString());
    currentFamily = fontFamilies.value(currentRole);
    if (!currentFamily.isEmpty()) {
        qDebug().noquote().nospace() << "change font " << currentFamily;
        emit fontFamilyChanged(currentFamily);
    }

    QFile file(QStringLiteral(":/Translation/Translation_%1.txt").arg(languageName()));
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "cannot open translation file" << file.fileName();
        return;
    }
    if (file.size() > maxTranslationFileSize) {
        qDebug() << "translation file too large" << file.fileName() << file.size();
        return;
    }
    textsByKey = parseTexts(file.readAll());
    file.close();
}

void Translation::setLanguageIndex(int index) {
    if (unsigned(index) >= unsigned(LanguageCount)) {
        qDebug().nospace() << "index out of range " << index;
        return;
    }
    if (index == currentLanguage) {
        qDebug().nospace() << "not changed " << index;
        return;
    }
    currentLanguage = index;
    GlobalSettings::instance()->setValue(Language, index);
    loadLanguage();
    qDebug().nospace() << "setLanguageIndex " << index;
    emit languageChanged(languageName());
}

QString Translation::tr(const QString &key) const {
    if (key.isEmpty())
        return QString();
    const auto it = textsByKey.constFind(key);
    if (it != textsByKey.constEnd())
        return it.value();
    return QStringLiteral("TR_") + key;
}

QString Translation::languageName() const {
    return languageNameAt(currentLanguage);
}

QString Translation::imagePath(const QString &imageName) const {
    if (imageName != QLatin1String("logo.png"))
        return QString();
    const QString name = languageName();
    const QString folder = (name == QLatin1String("Chinese") || name == QLatin1String("Japanese"))
                               ? name
                               : QStringLiteral("English");
    return QStringLiteral(":/images/images/%1/logo.png").arg(folder);
}
