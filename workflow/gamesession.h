#pragma once

#include "workflow/workflowpart.h"
#include "workflow/workflowsetup.h"

#include <QProcess>
#include <QString>

#include <functional>

class LauncherConfig;
class QNetworkAccessManager;
class QNetworkReply;

// The game: started from the launcher's folder with its command line, watched while it runs, and
// its exit handled a moment later: a crash archive it left is uploaded (after asking, when the
// settings say so), then the window is shown again or the launcher closes.
class GameSession : public WorkflowPart {
    Q_OBJECT

public:
    // Asks whether to send the crash report; true with the player's description to send it.
    using CrashQuestion = std::function<bool(QString *description)>;

    GameSession(const WorkflowSetup &setup, LauncherConfig *config, QNetworkAccessManager *manager,
                QObject *parent = nullptr);

    QProcess *gameProcess() const { return process; }
    bool isRunning() const { return process->state() == QProcess::Running; }

    // Identifiers the command line and the crash report carry.
    void setIdentifiers(const QString &gclid, const QString &deviceId);
    // Without a question, a crash report is sent without asking, as with the question switched off.
    void setCrashQuestion(CrashQuestion question) { crashQuestion = std::move(question); }

    // "-workdir . -from-launcher [-parameter gclid=..] -parameter language=<name>"
    static QStringList gameArguments(const QString &gclid, const QString &languageName);
    QString crashInfoDir() const;
    QNetworkReply *uploadCrashReport(const QString &archiveName, const QString &description);

public slots:
    void gameBtnClicked();
    void gameProcessStarted();
    void gameProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void processGameProcessFinishState(int exitCode, QProcess::ExitStatus exitStatus);

signals:
    void started();
    // The exit has been handled: the window comes back, or the launcher closes.
    void showRequested();
    void closeRequested();

private:
    void gameProcessError(QProcess::ProcessError error);
    void gameStartFailed(const QString &reason);
    void forgetGameExecutable();

    WorkflowSetup setup;
    LauncherConfig *config;
    QNetworkAccessManager *manager;
    QProcess *process;
    QString gclid;
    QString deviceId;
    CrashQuestion crashQuestion;
};
