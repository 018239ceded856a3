#include "shippedfonts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include <fontconfig/fontconfig.h>

namespace ShippedFonts {

namespace {

// The stand-in for the platform default family, as fonts.conf accepts it.
const char *const standIn[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                               "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"};

bool shipped(const QString &file) {
    const QString canonical = QFileInfo(file).canonicalFilePath();
    if (QFileInfo(canonical).dir() == QDir(QStringLiteral(KV_SHIPPED_FONTS_DIR)))
        return true;
    for (const char *f : standIn)
        if (canonical == QFileInfo(QString::fromLatin1(f)).canonicalFilePath())
            return true;
    return false;
}

} // namespace

QString configFile() {
    return QStringLiteral(KV_FONTS_CONF);
}

QStringList strayFiles() {
    QStringList stray;
    if (!FcInit())
        return {QStringLiteral("(fontconfig did not start)")};
    FcFontSet *set = FcConfigGetFonts(nullptr, FcSetSystem);
    for (int i = 0; set && i < set->nfont; ++i) {
        FcChar8 *file = nullptr;
        if (FcPatternGetString(set->fonts[i], FC_FILE, 0, &file) != FcResultMatch)
            continue;
        const QString path = QString::fromUtf8(reinterpret_cast<const char *>(file));
        if (!shipped(path) && !stray.contains(path))
            stray << path;
    }
    return stray;
}

} // namespace ShippedFonts

namespace {

// A process that draws (a GUI application) must see nothing but the shipped set: a family it asks
// for would otherwise resolve to whatever this machine has installed, and the test would measure
// or picture a launcher no player sees.
void failOnStrayFonts() {
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return;
    const QStringList stray = ShippedFonts::strayFiles();
    if (stray.isEmpty())
        return;
    qFatal("fonts outside the shipped set are visible to this process (%d, first %s); run it through "
           "ctest or with FONTCONFIG_FILE=%s",
           int(stray.size()), qPrintable(stray.first()), qPrintable(ShippedFonts::configFile()));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(failOnStrayFonts)
