// Process entry: single-instance guard, fonts, command line, catalogue, the launcher window.
#include "app/buildconstants.h"
#include "download/versiontable.h"
#include "i18n/translation.h"
#include "launcher/launcherupdater.h"
#include "settings/globalsettings.h"
#include "singleinstance/singleapplication.h"

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
    // 1. Nothing exists before the guard.
    SingleApplication app(argc, argv, true, SingleApplication::UserScope, 1000, QString());

    // 2.
    QCoreApplication::setApplicationVersion(launcherVersion);

    // 3-5.
    const int cjkFontId = QFontDatabase::addApplicationFont(QStringLiteral(":/font/font/FZY4K.TTF"));
    const int latinFontId = QFontDatabase::addApplicationFont(QStringLiteral(":/font/font/Neuron Heavy.otf"));
    const QString cjkFamily = firstFamily(cjkFontId);
    const QString latinFamily = firstFamily(latinFontId);
    if (cjkFamily.isEmpty() || latinFamily.isEmpty())
        qDebug() << "application font not registered" << cjkFontId << latinFontId;
    const QString defaultFamily = QFont().family();
    QApplication::setFont(QFont(cjkFamily));

    // 6. Only the version option; an unknown option ends the process with 1.
    {
        QCommandLineParser parser;
        parser.addVersionOption();
        parser.process(app);

        // 7. A second start hands over to the running launcher and leaves.
        if (app.isSecondaryInstance()) {
            app.sendToPrimary(QByteArrayLiteral("activated"), 100, SingleApplication::DontWait);
            return 0;
        }
    }

    // Players behind a proxy must still reach the CDN and the endpoints.
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    // 8-9.
    Translation *catalogue = Translation::instance();
    catalogue->setFontFamily(QStringLiteral("default"), defaultFamily);
    catalogue->setFontFamily(QStringLiteral("chinese"), cjkFamily);
    catalogue->setFontFamily(QStringLiteral("english"), latinFamily);
    catalogue->loadLanguage();

    // 10-11.
    auto *window = new LauncherUpdater();
    window->show();
    QObject::connect(&app, SIGNAL(receivedMessage(quint32, QByteArray)), window,
                     SLOT(receivedMessageFromSecondary(quint32, QByteArray)));

    // 12-13. The loop ends when the window closes; the result is 0 whatever it returned.
    app.exec();
    VersionTable::release();
    GlobalSettings::release();
    delete window;
    QFontDatabase::removeApplicationFont(latinFontId);
    QFontDatabase::removeApplicationFont(cjkFontId);
    return 0;
}
