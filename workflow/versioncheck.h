#pragma once

#include "trust/versiontable.h"
#include "workflow/workflowpart.h"
#include "workflow/workflowsetup.h"

#include <QByteArray>
#include <QJsonObject>
#include <QNetworkReply>
#include <QString>
#include <QStringList>

#include <memory>

class CdnHosts;
class LauncherConfig;
class SignatureLookup;
class QNetworkAccessManager;

// Requests to the CDN: safe redirects only, failed after timeoutMs without a byte.
namespace CdnRequest {
QNetworkReply *get(QNetworkAccessManager *manager, const QUrl &url, int timeoutMs);
// The reply a finished slot handles: its sender, or the current request when the slot was called
// directly. It is no longer the current request.
QNetworkReply *takeFinished(QObject *sender, QNetworkReply **current);
// The host answered that it does not have the file (HTTP 404 or 410).
bool saysMissing(const QNetworkReply *reply);
} // namespace CdnRequest

// Fetches the version file (and, with a public key built in, its signature) into the VersionTable
// and compares the launcher's version with the one listed: up to date, a newer launcher to
// install, or a server error. An attempt asks the CDN hosts in turn: a host that fails (no answer,
// an oversized or refused file, a bad signature) hands the attempt to the next one at once, and
// only when every host failed does the attempt count. A failed attempt is tried again after a
// pause, three attempts in all, counted together with the failed downloads of a newer launcher.
// An attempt whose hosts served at best an expired release ends in releaseExpired() instead.
class VersionCheck : public WorkflowPart {
    Q_OBJECT

public:
    VersionCheck(const WorkflowSetup &setup, QNetworkAccessManager *manager, LauncherConfig *config,
                 CdnHosts *hosts, QObject *parent = nullptr);
    ~VersionCheck() override;

    // Counts an attempt and schedules the next one, or gives up after the third. An error text
    // (already translated) is shown with the number of the attempt to come.
    void retryVersionCheck(const QString &error);
    int retryCount() const { return attempts; }
    // Why the last attempt failed, as the catalogue key the game page shows while the installed game
    // stays playable: a refused signature or an unreadable file are no unreachable server.
    QString failureKey() const;
    // SHA-256 of the version file whose signature this check verified; empty when it verified none
    // (no key built in, or no file accepted yet). Launchers on the local network that share a
    // release know it by this digest.
    QByteArray verifiedReleaseDigest() const { return verifiedDigest; }

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
    // Every host of an attempt failed, and one at least served a correctly signed release past its
    // validity period: nothing of it is taken, and the attempt does not count against the three.
    void releaseExpired();

private:
    void startVersionFileRequest();
    void requestVersionFile();
    // The attempt failed on the current host: the next host of the attempt is asked at once, or,
    // after the last, the attempt counts with this error text. The failure event (when given)
    // names the host. A host that answered it lacks the file is not at fault: it is up.
    void hostFailed(const QString &error, const QString &why, QJsonObject failure = QJsonObject(),
                    bool hostAtFault = true);
    void checkLauncherVersion();
    void acceptVersionFile(const QByteArray &body);
    // A small file beside the version file, from its host, cut off beyond maxSize.
    QNetworkReply *requestBeside(const QString &name, int maxSize);
    // Signed releases: the revoked keys (with more than one key trusted), then the signatures.
    void startSignatureRequest(const QByteArray &versionFileBody);
    void learnRevocations(const QByteArray &file);
    void requestSignature(const QByteArray &versionFileBody);
    void signatureDownloadFinished(QNetworkReply *reply, const QByteArray &versionFileBody);
    // The lookup is decided: the release is taken, expired, asked for again or refused.
    void signatureLookupDone(const QByteArray &versionFileBody);
    void refuseVersionFile(const QString &reason);
    void releaseExpiredOnHost(qint64 signedAt, qint64 expires);

    WorkflowSetup setup;
    QNetworkAccessManager *manager;
    LauncherConfig *config;
    CdnHosts *hosts;
    QStringList attemptHosts; // the hosts this attempt asks, in turn
    int hostIndex = 0;
    QString host; // the one asked now: the signature comes from the host of its version file
    QNetworkReply *currentReply = nullptr;
    int attempts = 0;
    bool expiredSeen = false;    // a host of this attempt served an expired release
    bool refusedSeen = false;    // a host of this attempt served a release whose signature was refused
    bool unreadableSeen = false; // a host of this attempt served a version file with a refused line
    std::unique_ptr<SignatureLookup> lookup; // of the version file on this host
    bool askedAgain = false;                 // this host was asked again after a mismatch
    QByteArray verifiedDigest;
};
