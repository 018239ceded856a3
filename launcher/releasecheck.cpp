// Signed releases: with a public key built in, the version file is only read after its detached
// minisign signature ("version3.txt.minisig") has been verified, and a release older than the newest
// one accepted before is refused. Every file's MD5 comes from that list, so the self-update and the
// game files rest on the same signature.
#include "launcher/launcherupdater.h"

#include "core/buildconstants.h"
#include "download/minisignsignature.h"
#include "download/releaseverifier.h"
#include "platform/platform.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QUrl>

void LauncherUpdater::announceReleaseVerification() {
    const ReleaseVerifier verifier(releasePublicKey);
    if (!verifier.isEnabled())
        qDebug() << "release signatures are not verified: no public key built in";
    else if (!verifier.publicKey().isValid())
        qDebug() << "built-in release public key is unusable, every version file will be refused:"
                 << verifier.publicKey().error();
    else
        qDebug().noquote() << "release signatures verified with key"
                           << MinisignPublicKey::keyIdText(verifier.publicKey().keyId());
}

bool LauncherUpdater::releaseVerificationEnabled() {
    return !releasePublicKey.isEmpty();
}

void LauncherUpdater::startSignatureRequest(const QByteArray &versionFileBody) {
    // Moved and stalled like the version file it belongs to.
    QNetworkReply *reply =
        startRequest(QUrl(cdnBaseUrl + versionFile + QStringLiteral(".minisig")), versionFileTimeoutMs);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, versionFileBody]() { signatureDownloadFinished(reply, versionFileBody); });
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
        if (received > MinisignSignature::MaxFileSize || total > MinisignSignature::MaxFileSize)
            reply->abort();
    });
}

void LauncherUpdater::signatureDownloadFinished(QNetworkReply *reply, const QByteArray &versionFileBody) {
    qDebug() << "version signature download finished.";
    if (reply == currentReply)
        currentReply = nullptr;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        refuseVersionFile(status == 404
                              ? QStringLiteral("signature file missing (HTTP 404)")
                              : QStringLiteral("signature download failed: %1").arg(reply->errorString()));
        return;
    }
    // A body larger than any signature may arrive in one piece, before the progress check saw it.
    const QByteArray signature = reply->read(MinisignSignature::MaxFileSize + 1);
    const ReleaseVerifier::Result result =
        ReleaseVerifier(releasePublicKey)
            .verify(versionFileBody, signature, configSettings->newestAcceptedRelease());
    if (!result.ok) {
        refuseVersionFile(result.reason);
        return;
    }
    qDebug() << "version file signature verified, release time" << result.timestamp;
    if (result.timestamp > configSettings->newestAcceptedRelease() &&
        !configSettings->setNewestAcceptedRelease(result.timestamp))
        qDebug() << "cannot record the release time in" << configSettings->path();
    acceptVersionFile(versionFileBody);
}

void LauncherUpdater::refuseVersionFile(const QString &reason) {
    qDebug() << "version file refused:" << reason;
    retryVersionCheck(trKey(QStringLiteral("NETWORK_ERROR")));
    QJsonObject event;
    event.insert(QStringLiteral("event"), QStringLiteral("version file signature error"));
    event.insert(QStringLiteral("reason"), reason);
    sendLogEvent(event);
}
