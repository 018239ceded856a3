#pragma once

#include "download/versiontable.h"
#include "workflow/workflowpart.h"
#include "workflow/workflowsetup.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QString>

class LauncherConfig;
class QNetworkAccessManager;

// Requests to the CDN: safe redirects only, failed after timeoutMs without a byte.
namespace CdnRequest {
QNetworkReply *get(QNetworkAccessManager *manager, const QUrl &url, int timeoutMs);
// The reply a finished slot handles: its sender, or the current request when the slot was called
// directly. It is no longer the current request.
QNetworkReply *takeFinished(QObject *sender, QNetworkReply **current);
} // namespace CdnRequest

// Fetches the version file (and, with a public key built in, its signature) into the VersionTable
// and compares the launcher's version with the one listed: up to date, a newer launcher to
// install, or a server error. A failed attempt is tried again after a pause, three requests in
// all, counted together with the failed downloads of a newer launcher.
class VersionCheck : public WorkflowPart {
    Q_OBJECT

public:
    VersionCheck(const WorkflowSetup &setup, QNetworkAccessManager *manager, LauncherConfig *config,
                 QObject *parent = nullptr);

    // Counts an attempt and schedules the next one, or gives up after the third. An error text
    // (already translated) is shown with the number of the attempt to come.
    void retryVersionCheck(const QString &error);
    int retryCount() const { return attempts; }

    // -2 when either version is not a number, -1 when remote is newer, 0 equal, 1 local newer.
    static int compareVersions(const QString &local, const QString &remote);
    // Logs whether and with which key release signatures are verified.
    static void announceReleaseVerification(const QString &publicKey);

public slots:
    void versionFileDownloadFinished();
    void versionFileDownloadNetworkError(QNetworkReply::NetworkError code);

signals:
    // The launcher is current: the game page follows (after gamePageMs).
    void upToDate();
    // A newer launcher is listed; its download is the next step.
    void launcherOutdated(const RemoteFileInfo &entry);
    // Final: no launcher line or no number in it ("SERVER_ERROR"), or the attempts used up.
    void serverError();
    void gaveUp();

private:
    void startVersionFileRequest();
    void checkLauncherVersion();
    void acceptVersionFile(const QByteArray &body);
    void startSignatureRequest(const QByteArray &versionFileBody);
    void signatureDownloadFinished(QNetworkReply *reply, const QByteArray &versionFileBody);
    void refuseVersionFile(const QString &reason);

    WorkflowSetup setup;
    QNetworkAccessManager *manager;
    LauncherConfig *config;
    QNetworkReply *currentReply = nullptr;
    int attempts = 0;
};
