#include "workflow/gamesession.h"

#include "i18n/translation.h"
#include "platform/platform.h"
#include "settings/globalsettings.h"
#include "trust/versiontable.h"
#include "workflow/archiveextraction.h"
#include "workflow/crashupload.h"
#include "workflow/launcherconfig.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

namespace {
// The description the crash form carries, in UTF-16 code units.
constexpr int MaxDescriptionLength = 256;
} // namespace

GameSession::GameSession(const WorkflowSetup &setup, LauncherConfig *config, QNetworkAccessManager *manager,
                         QObject *parent)
    : WorkflowPart(parent)
    , setup(setup)
    , config(config)
    , manager(manager)
    , process(new QProcess(this)) {
    // The game process, started from the launcher directory.
    process->setWorkingDirectory(setup.folder);
    connect(process, SIGNAL(started()), this, SLOT(gameProcessStarted()));
    connect(process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
            SLOT(gameProcessFinished(int, QProcess::ExitStatus)));
    connect(process, &QProcess::errorOccurred, this, &GameSession::gameProcessError);
}

void GameSession::setIdentifiers(const QString &campaignId, const QString &device) {
    gclid = campaignId;
    deviceId = device;
}

QString GameSession::crashInfoDir() const {
    return setup.folder + QStringLiteral("/crash_info");
}

QStringList GameSession::gameArguments(const QString &gclid, const QString &languageName) {
    QStringList args;
    args << QStringLiteral("-workdir") << QStringLiteral(".") << QStringLiteral("-from-launcher");
    if (!gclid.isEmpty())
        args << QStringLiteral("-parameter") << QStringLiteral("gclid=%1").arg(gclid);
    args << QStringLiteral("-parameter") << QStringLiteral("language=%1").arg(languageName);
    return args;
}

void GameSession::gameBtnClicked() {
    // A second click while the game is starting or running would only be refused by QProcess,
    // after the crash folder of the running game had been thrown away.
    if (process->state() != QProcess::NotRunning) {
        qDebug() << "game already running, start ignored";
        return;
    }

    QJsonObject clicked;
    clicked.insert(QStringLiteral("event"), QStringLiteral("game btn clicked"));
    emit event(clicked);

    // A game that is not there (an antivirus quarantine, a deleted file) is reported without
    // touching the crash archives of the last run.
    const QString executable = setup.folder + QLatin1Char('/') + ArchiveExtraction::gameExecutableName();
    if (!QFileInfo(executable).isFile()) {
        gameStartFailed(QStringLiteral("no file ") + executable);
        return;
    }

    QDir crashDir(crashInfoDir());
    if (crashDir.exists())
        crashDir.removeRecursively();

    // Nobody reads the game's output. Left on pipes, QProcess would keep every byte of it in the
    // launcher's memory for the whole session; forwarded, the game would write into whatever the
    // launcher's own output is (possibly a pipe whose reader is gone). The null device takes it all
    // and can never block the game.
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(Platform::gameProgram(), gameArguments(gclid, Translation::instance()->languageName()),
                   QIODevice::ReadWrite);
}

void GameSession::gameProcessError(QProcess::ProcessError error) {
    // A crash or a failed read of a running game ends in finished(); only a start that never
    // happened has no other signal.
    if (error == QProcess::FailedToStart)
        gameStartFailed(process->errorString());
}

void GameSession::gameStartFailed(const QString &reason) {
    qDebug().noquote() << "cannot start the game: " + reason;
    QJsonObject failed;
    failed.insert(QStringLiteral("event"), QStringLiteral("game start failed"));
    failed.insert(QStringLiteral("reason"), reason);
    emit event(failed);
    emit status(WorkflowStatus::GameLine, WorkflowStatus::text(QStringLiteral("LOAD_ERROR")));
    forgetGameExecutable();
    // The button stays enabled: the player may try again, and the next start repairs the game.
}

// The next launcher start downloads the game executable again: as a file of its own when the
// version file lists it, else the archive that brought it.
void GameSession::forgetGameExecutable() {
    const QString game = ArchiveExtraction::gameExecutableName();
    QStringList sources;
    if (VersionTable::instance().contains(game)) {
        sources << game;
    } else if (const QString archive = config->gameArchive(); !archive.isEmpty()) {
        sources << archive;
    } else {
        // Installed before the launcher noted where the game comes from: every archive may have it.
        const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
        for (auto it = table.cbegin(); it != table.cend(); ++it) {
            if (it.key().endsWith(QLatin1String(".zip")))
                sources << it.key();
        }
    }
    const QStringList installed = config->installedNames();
    for (const QString &name : qAsConst(sources)) {
        if (installed.contains(name)) {
            qDebug().noquote() << "the game cannot start, " + name + " will be downloaded again";
            config->forgetVersion(name);
        }
    }
}

void GameSession::gameProcessStarted() {
    emit started();
}

void GameSession::gameProcessFinished(int exitCode, QProcess::ExitStatus exitStatus) {
    QTimer::singleShot(setup.gameExitMs, this, [this, exitCode, exitStatus]() {
        processGameProcessFinishState(exitCode, exitStatus);
    });
}

void GameSession::processGameProcessFinishState(int exitCode, QProcess::ExitStatus exitStatus) {
    QJsonObject finished;
    finished.insert(QStringLiteral("event"), QStringLiteral("game process finished"));
    finished.insert(QStringLiteral("code"), exitCode);
    emit event(finished);

    QString archiveName;
    if (exitStatus == QProcess::CrashExit || exitCode == 1)
        archiveName = findCrashArchive(crashInfoDir());

    GlobalSettings *settings = GlobalSettings::instance();
    const bool popupOnExit = settings->value(PopupOnExit) != 0;

    if (!archiveName.isEmpty()) {
        bool send = true;
        QString description;
        if (settings->value(PopupOnCrash) != 0 && crashQuestion)
            send = crashQuestion(&description);
        if (send) {
            QPointer<GameSession> self(this);
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
        emit showRequested();
        return;
    }
    QJsonObject closed;
    closed.insert(QStringLiteral("event"), QStringLiteral("launcher closed"));
    emit event(closed);
    QTimer::singleShot(setup.closeAfterGameMs, this, &GameSession::closeRequested);
}

QNetworkReply *GameSession::uploadCrashReport(const QString &archiveName, const QString &description) {
    return postCrashReport(manager, setup.crashUploadUrl, crashInfoDir(), archiveName, gclid.toUtf8(),
                           deviceId.toUtf8(), description.left(MaxDescriptionLength));
}
