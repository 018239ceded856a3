#include "i18n/applicationfont.h"

#include "i18n/translation.h"

#include <QApplication>
#include <QFont>

void setApplicationFontFamily(const QString &family) {
    if (qobject_cast<QApplication *>(QCoreApplication::instance()))
        QApplication::setFont(QFont(family));
    else if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        QGuiApplication::setFont(QFont(family));
}

void followCatalogueFont() {
    static bool following = false;
    if (following)
        return;
    following = true;
    Translation *catalogue = Translation::instance();
    QObject::connect(catalogue, &TranslationSignals::fontFamilyChanged, catalogue, &setApplicationFontFamily);
    // A language loaded before this call still gets its font.
    if (!catalogue->currentFontFamily().isEmpty())
        setApplicationFontFamily(catalogue->currentFontFamily());
}
