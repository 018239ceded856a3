// Starting the game, hiding while it runs, and handling its exit.
#include "launcher/launcherupdater.h"

#include "crash/crashreporter.h"
#include "download/versiontable.h"
#include "i18n/translation.h"
#include "launcher/ui_launcherupdater.h"
#include "platform/platform.h"
#include "settings/globalsettings.h"
#include "workflow/crashupload.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

void LauncherUpdater::gameBtnClicked() {
    // A second click while the game is starting or running would only be refused by QProcess,
    // after the crash folder of the running game had been thrown away.
    if (gameProcess->state() != QProcess::NotRunning) {
        qDebug() << "game already running, start ignored";
        return;
    }

    QJsonObject event;
    event.insert(QStringLiteral("event"), QStringLiteral("game btn clicked"));
    sendLogEvent(event);

    // A game that is not there (an antivirus quarantine, a deleted file) is reported without
    // touching the crash archives of the last run.
    const QString executable = Platform::launcherDir() + QLatin1Char('/') + gameExecutableName();
    if (!QFileInfo(executable).isFile()) {
        gameStartFailed(QStringLiteral("no file ") + executable);
        return;
    }

    QDir crashDir(crashInfoDir());
    if (crashDir.exists())
        crashDir.removeRecursively();

    QStringList args;
    args << QStringLiteral("-workdir") << QStringLiteral(".") << QStringLiteral("-from-launcher");
    if (!gclid.isEmpty())
        args << QStringLiteral("-parameter") << QStringLiteral("gclid=%1").arg(gclid);
    args << QStringLiteral("-parameter")
         << QStringLiteral("language=%1").arg(Translation::instance()->languageName());

    // Nobody reads the game's output. Left on pipes, QProcess would keep every byte of it in the
    // launcher's memory for the whole session; forwarded, the game would write into whatever the
    // launcher's own output is (possibly a pipe whose reader is gone). The null device takes it all
    // and can never block the game.
    gameProcess->setStandardOutputFile(QProcess::nullDevice());
    gameProcess->setStandardErrorFile(QProcess::nullDevice());
    gameProcess->start(Platform::gameProgram(), args, QIODevice::ReadWrite);
}

QString LauncherUpdater::gameExecutableName() {
    return QStringLiteral("Quelvane.exe");
}

void LauncherUpdater::gameProcessError(QProcess::ProcessError error) {
    // A crash or a failed read of a running game ends in finished(); only a start that never
    // happened has no other signal.
    if (error == QProcess::FailedToStart)
        gameStartFailed(gameProcess->errorString());
}

void LauncherUpdater::gameStartFailed(const QString &reason) {
    qDebug().noquote() << "cannot start the game: " + reason;
    QJsonObject event;
    event.insert(QStringLiteral("event"), QStringLiteral("game start failed"));
    event.insert(QStringLiteral("reason"), reason);
    sendLogEvent(event);
    ui->gameSrcDownloadInfo->setVisible(true);
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("LOAD_ERROR"), true, true);
    forgetGameExecutable();
    // The button stays enabled: the user may try again, and the next start repairs the game.
}

// The next launcher start downloads the game executable again: as a file of its own when the
// version file lists it, else the archive that brought it.
void LauncherUpdater::forgetGameExecutable() {
    const QString game = gameExecutableName();
    QStringList sources;
    if (VersionTable::instance().contains(game)) {
        sources << game;
    } else {
        const QString archive = configSettings->gameArchive();
        if (!archive.isEmpty()) {
            sources << archive;
        } else {
            // Installed before the launcher noted where the game comes from: every archive may have it.
            const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
            for (auto it = table.cbegin(); it != table.cend(); ++it) {
                if (it.key().endsWith(QLatin1String(".zip")))
                    sources << it.key();
            }
        }
    }
    for (const QString &name : qAsConst(sources)) {
        if (configSettings->installedNames().contains(name)) {
            qDebug().noquote() << "the game cannot start, " + name + " will be downloaded again";
            configSettings->forgetVersion(name);
        }
    }
}

void LauncherUpdater::gameProcessStarted() {
    trayIcon.setVisible(false);
    hide();
}

void LauncherUpdater::gameProcessFinished(int exitCode, QProcess::ExitStatus exitStatus) {
    // The window as context: a timer outliving the window must not call into it.
    QTimer::singleShot(
        1000, this, [this, exitCode, exitStatus]() { processGameProcessFinishState(exitCode, exitStatus); });
}

void LauncherUpdater::processGameProcessFinishState(int exitCode, QProcess::ExitStatus exitStatus) {
    QJsonObject finished;
    finished.insert(QStringLiteral("event"), QStringLiteral("game process finished"));
    finished.insert(QStringLiteral("code"), exitCode);
    sendLogEvent(finished);

    QString archiveName;
    if (exitStatus == QProcess::CrashExit || exitCode == 1)
        archiveName = findCrashArchive(crashInfoDir());

    GlobalSettings *settings = GlobalSettings::instance();
    const bool popupOnExit = settings->value(PopupOnExit) != 0;

    if (!archiveName.isEmpty()) {
        bool send = true;
        QString description;
        if (settings->value(PopupOnCrash) != 0) {
            CrashReporter reporter(nullptr);
            // The launcher window is hidden: closing this dialog must not count as closing the
            // application's last window, which would end the launcher.
            reporter.setAttribute(Qt::WA_QuitOnClose, false);
            if (reporter.exec() == QDialog::Accepted)
                description = reporter.descriptionText();
            else
                send = false;
        }
        if (send) {
            QPointer<LauncherUpdater> self(this);
            QNetworkReply *reply = uploadCrashReport(archiveName, description);
            QEventLoop loop;
            connect(reply, &QNetworkReply::finished, reply, [reply]() {
                // A timed-out reply is closed already: nothing to read then.
                const QByteArray body = reply->isReadable() ? reply->readAll() : QByteArray();
                qDebug().noquote() << "processGameProcessFinishState log 13 " + QString::fromUtf8(body);
                reply->deleteLater();
            });
            connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            loop.exec();
            if (!self)
                return;
        }
    }

    if (popupOnExit) {
        show();
        return;
    }
    QJsonObject closed;
    closed.insert(QStringLiteral("event"), QStringLiteral("launcher closed"));
    sendLogEvent(closed);
    // Through closeForGood(): a plain close() of a window that was shown again in the meantime
    // (tray, second start) would follow the close button's rules and keep the launcher running.
    QTimer::singleShot(2000, this, [this]() { closeForGood(); });
}
