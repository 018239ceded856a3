// Process entry: single-instance guard, fonts, command line, catalogue, the launcher window.
#include "core/buildconstants.h"
#include "i18n/applicationfont.h"
#include "i18n/translation.h"
#include "launcher/launcherupdater.h"
#include "platform/platform.h"
#include "settings/globalsettings.h"
#include "singleinstance/singleapplication.h"
#include "trust/versiontable.h"

#include <QCommandLineParser>
#include <QDebug>
#include <QFont>
#include <QFontDatabase>
#include <QNetworkProxyFactory>

namespace {

// First family of a registered application font; empty (the platform default applies) when the
// font could not be registered.
QString firstFamily(int fontId) {
    if (fontId < 0)
        return QString();
    const QStringList families = QFontDatabase::applicationFontFamilies(fontId);
    return families.isEmpty() ? QString() : families.first();
}

} // namespace

int main(int argc, char *argv[]) {
    Platform::tuneHeap();
    // The single-instance guard comes first: nothing is created before it.
    SingleApplication app(argc, argv, true, SingleApplication::UserScope, 1000, QString());

    // What --version prints.
    QCoreApplication::setApplicationVersion(launcherVersion);

    // The bundled fonts: CJK captions everywhere, the Latin display face for English.
    const int cjkFontId = QFontDatabase::addApplicationFont(QStringLiteral(":/font/font/FZY4K.TTF"));
    const int latinFontId = QFontDatabase::addApplicationFont(QStringLiteral(":/font/font/Neuron Heavy.otf"));
    const QString cjkFamily = firstFamily(cjkFontId);
    const QString latinFamily = firstFamily(latinFontId);
    if (cjkFamily.isEmpty() || latinFamily.isEmpty())
        qDebug() << "application font not registered" << cjkFontId << latinFontId;
    const QString defaultFamily = QFont().family();
    QApplication::setFont(QFont(cjkFamily));

    // The version option and --verify; an unknown option ends the process with 1.
    bool verify = false;
    {
        QCommandLineParser parser;
        parser.addVersionOption();
        const QCommandLineOption verifyOption(
            QStringLiteral("verify"),
            QStringLiteral("Check every installed game file against its MD5 and download what differs."));
        parser.addOption(verifyOption);
        parser.process(app);
        verify = parser.isSet(verifyOption);

        // A second start hands over to the running launcher and leaves. It confirms no update: the
        // launcher it hands over to may hang before its window.
        if (app.isSecondaryInstance()) {
            app.sendToPrimary(QByteArrayLiteral("activated"), 100, SingleApplication::DontWait);
            return 0;
        }
    }

    // Players behind a proxy must still reach the CDN and the endpoints.
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    // The catalogue learns the font families, then loads the saved language.
    Translation *catalogue = Translation::instance();
    catalogue->setFontFamily(QStringLiteral("default"), defaultFamily);
    catalogue->setFontFamily(QStringLiteral("chinese"), cjkFamily);
    catalogue->setFontFamily(QStringLiteral("english"), latinFamily);
    followCatalogueFont();
    catalogue->loadLanguage();

    // The window, and the messages a second start sends to it.
    auto *window = new LauncherUpdater();
    window->setVerifyInstalledFiles(verify);
    window->show();
    QObject::connect(&app, SIGNAL(receivedMessage(quint32, QByteArray)), window,
                     SLOT(receivedMessageFromSecondary(quint32, QByteArray)));
    // A shutdown or log-off ends the launcher as its EXIT does, not like a kill.
    Platform::watchSessionEnd(window, [window]() { window->sessionEnding(); });

    // The loop ends when the window closes; the result is 0 whatever it returned.
    app.exec();
    window->waitForEventsSent();
    VersionTable::release();
    GlobalSettings::release();
    delete window;
    QFontDatabase::removeApplicationFont(latinFontId);
    QFontDatabase::removeApplicationFont(cjkFontId);
    return 0;
}
