#include "i18n/cataloguefont.h"

#include "i18n/translation.h"

QFont withCatalogueFamily(QFont font) {
    const QString family = Translation::instance()->currentFontFamily();
    if (!family.isEmpty())
        font.setFamily(family);
    return font;
}
