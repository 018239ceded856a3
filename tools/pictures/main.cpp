// pictures gallery OUTDIR [--docs DIR]
// pictures tour OUTDIR [--docs DIR] [--languages N,N,...]
//
// The picture maker, in two modes.
//
// gallery: every skinned widget in each of its states, the exit confirmation in all eight languages,
// the settings dialog (both pages, language list open) in English and Japanese, and both dialogs as
// the player meets them: opened by the real launcher window's own slots (gear button, exit during a
// download) over the window dimmed by its overlay, into OUTDIR/*.png. With --docs, the pictures kept
// in the documentation are written to DIR too (as gallery-*.png).
//
// tour: a picture of every state of the launcher window (launcher page, self-update start and
// progress, each error text, download running and paused, KEEP UPDATE, extracting, ready), the
// settings dialog on both pages with the language list open, the exit confirmation and the crash
// dialog, in every language (or those of --languages), into OUTDIR/<language>/. Every caption on
// every picture is measured against the widget that shows it; the exit code is 1 when any is cut
// off or runs past its widget, or when a long caption pushes the controls of the bottom row out of
// place. With --docs, the English and Japanese pictures of each screen are also written to DIR as
// JPEG.
//
// Both run on the offscreen platform with only the shipped fonts; settings are kept in a temporary
// directory so nothing of a real installation is touched, and every URL of the window points at a
// closed local port (the version check really runs and gives up).

#include "tools/pictures/gallery.h"
#include "tools/pictures/offlinerun.h"
#include "tools/pictures/picturerun.h"
#include "tools/pictures/tour.h"

#include "i18n/applicationfont.h"
#include "i18n/translation.h"
#include "settings/globalsettings.h"
#include "trust/versiontable.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFontDatabase>
#include <QSettings>
#include <QTemporaryDir>

namespace {

const char usage[] = "usage: pictures gallery OUTDIR [--docs DIR]\n"
                     "       pictures tour OUTDIR [--docs DIR] [--languages N,N,...]";

struct Options {
    QString mode;
    QList<int> languages;
};

bool parseOptions(const QStringList &args, Options &options) {
    if (args.size() < 3)
        return false;
    options.mode = args.at(1);
    const bool tour = options.mode == QLatin1String("tour");
    if (!tour && options.mode != QLatin1String("gallery"))
        return false;
    for (int i = 2; i < args.size(); ++i) {
        const QString a = args.at(i);
        if (a == QLatin1String("--docs") && i + 1 < args.size()) {
            PictureRun::docsDir = args.at(++i);
        } else if (tour && a == QLatin1String("--languages") && i + 1 < args.size()) {
            for (const QString &n : args.at(++i).split(QLatin1Char(','))) {
                bool ok = false;
                const int v = n.toInt(&ok);
                if (!ok || v < 0 || v >= Translation::LanguageCount)
                    return false;
                options.languages << v;
            }
        } else if (!a.startsWith(QLatin1String("--")) && PictureRun::outDir.isEmpty()) {
            PictureRun::outDir = a;
        } else {
            return false;
        }
    }
    if (options.languages.isEmpty())
        for (int i = 0; i < Translation::LanguageCount; ++i)
            options.languages << i;
    return !PictureRun::outDir.isEmpty();
}

// Fonts and catalogue as the launcher's main sets them up.
void loadFontsAndCatalogue() {
    const int cjkFont = QFontDatabase::addApplicationFont(QStringLiteral(":/font/font/FZY4K.TTF"));
    const int latinFont = QFontDatabase::addApplicationFont(QStringLiteral(":/font/font/Neuron Heavy.otf"));
    const QString cjkFamily = QFontDatabase::applicationFontFamilies(cjkFont).value(0);
    const QString latinFamily = QFontDatabase::applicationFontFamilies(latinFont).value(0);
    const QString defaultFamily = QFont().family();
    QApplication::setFont(QFont(cjkFamily));
    Translation *catalogue = Translation::instance();
    followCatalogueFont(); // as main does: the application font follows the language
    catalogue->setFontFamily(QStringLiteral("default"), defaultFamily);
    catalogue->setFontFamily(QStringLiteral("chinese"), cjkFamily);
    catalogue->setFontFamily(QStringLiteral("english"), latinFamily);
    catalogue->loadLanguage();
}

} // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("KESTRIVANE_PICTURES_CHILD"))
        return runOffline(argc, argv, "KESTRIVANE_PICTURES_CHILD", "pictures");

    QTemporaryDir state;
    if (!useFreshState(state))
        return 1;
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    Options options;
    if (!parseOptions(args, options)) {
        qWarning(usage);
        return 2;
    }
    if (options.mode == QLatin1String("tour")) {
        // The tour shows the dialogs with every box ticked.
        QSettings ini(state.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("global_settings/popup_on_crash"), 1);
        ini.setValue(QStringLiteral("global_settings/popup_on_exit"), 1);
    }

    QApplication app(argc, argv);
    if (!QDir().mkpath(PictureRun::outDir) ||
        (!PictureRun::docsDir.isEmpty() && !QDir().mkpath(PictureRun::docsDir))) {
        qWarning() << "cannot create the output folders" << PictureRun::outDir << PictureRun::docsDir;
        return 1;
    }
    loadFontsAndCatalogue();

    int problems = 0;
    if (options.mode == QLatin1String("tour"))
        problems = tourPictures(state, options.languages);
    else
        galleryPictures();
    VersionTable::release();
    GlobalSettings::release();

    qInfo().noquote() << "pictures:" << options.mode << "wrote" << PictureRun::written << "pictures to"
                      << QDir(PictureRun::outDir).absolutePath();
    return (PictureRun::failed || problems > 0) ? 1 : 0;
}
