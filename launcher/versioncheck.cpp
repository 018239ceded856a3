// Version check: fetch and parse the version file, then decide between self-update and the game.
#include "launcher/launcherupdater.h"

#include "core/buildconstants.h"
#include "download/versiontable.h"
#include "launcher/ui_launcherupdater.h"
#include "workflow/labelargs.h"

#include <QDebug>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <cmath>

namespace {
const char *const LauncherFileName = "Kestrivane.exe";
}

void LauncherUpdater::retryVersionCheck(const QString &error) {
    ++retryCount;
    if (retryCount > 3) {
        ui->launcherDownloadInfo->setVisible(true);
        ui->launcherDownloadInfo->setTextKey(QStringLiteral("FATAL_ERROR"), true, true);
        ui->launcherDownloadInfo->setArgs({LabelArgs::text(error)});
        isDownloading = false;
        return;
    }
    if (!error.isEmpty()) {
        ui->launcherDownloadInfo->setTextKey(QStringLiteral("DETAILED_ERROR"), true, true);
        ui->launcherDownloadInfo->setArgs({LabelArgs::text(error), LabelArgs::number(retryCount)});
    }
    QTimer::singleShot(500, this, [this]() { startVersionFileRequest(); });
}

QNetworkReply *LauncherUpdater::startRequest(const QUrl &url, int timeoutMs) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // A server that sends the headers and then nothing is a failed attempt, not an endless wait.
    request.setTransferTimeout(timeoutMs);
    currentReply = networkManager->get(request);
    return currentReply;
}

QNetworkReply *LauncherUpdater::takeFinishedReply() {
    QNetworkReply *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        reply = currentReply;
    if (reply == currentReply)
        currentReply = nullptr;
    return reply;
}

void LauncherUpdater::startVersionFileRequest() {
    QNetworkReply *reply = startRequest(QUrl(cdnBaseUrl + versionFile), versionFileTimeoutMs);
    connect(reply, SIGNAL(finished()), this, SLOT(versionFileDownloadFinished()));
    connect(reply, SIGNAL(error(QNetworkReply::NetworkError)), this,
            SLOT(versionFileDownloadNetworkError(QNetworkReply::NetworkError)));
    // The CDN is not trusted to send a sane amount: an oversized version file is cut off and
    // handled as a network error of this request.
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
        if (received > VersionTable::MaxVersionFileSize || total > VersionTable::MaxVersionFileSize) {
            qDebug() << "version file too large, aborting" << received << total;
            reply->abort();
        }
    });
}

void LauncherUpdater::versionFileDownloadFinished() {
    qDebug() << "version file download finished.";
    QNetworkReply *reply = takeFinishedReply();
    if (!reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        // The error slot has already counted the attempt; only the reply is left to release.
        reply->deleteLater();
        return;
    }

    if (reply->bytesAvailable() > VersionTable::MaxVersionFileSize) {
        // The whole body may arrive before the progress check could abort it.
        qDebug() << "version file too large" << reply->bytesAvailable();
        reply->deleteLater();
        versionFileDownloadNetworkError(QNetworkReply::OperationCanceledError);
        return;
    }
    const QByteArray body = reply->readAll();
    reply->deleteLater();
    // Not a line is read before the signature has been checked.
    if (releaseVerificationEnabled())
        startSignatureRequest(body);
    else
        acceptVersionFile(body);
}

void LauncherUpdater::acceptVersionFile(const QByteArray &body) {
    QString refused;
    // Each attempt starts from an empty table: a line of a refused file must not be taken for a
    // line of the next one (a name no longer listed would be fetched and installed).
    VersionTable::instance().clear();
    if (!VersionTable::parseFile(body, &VersionTable::instance(), &refused)) {
        // Quoted, so control characters in a hostile line are escaped in the log.
        qDebug() << "version file line refused:" << refused.left(200);
        retryVersionCheck(trKey(QStringLiteral("VERSION_PARSE_ERROR")));
        return;
    }
    checkLauncherVersion();
}

void LauncherUpdater::versionFileDownloadNetworkError(QNetworkReply::NetworkError code) {
    retryVersionCheck(trKey(QStringLiteral("NETWORK_ERROR")));
    QJsonObject event;
    event.insert(QStringLiteral("event"), QStringLiteral("version file download network error"));
    event.insert(QStringLiteral("code"), static_cast<int>(code));
    sendLogEvent(event);
}

void LauncherUpdater::checkLauncherVersion() {
    const RemoteFileInfo info = VersionTable::instance().value(QString::fromLatin1(LauncherFileName));
    QJsonObject event;
    event.insert(QStringLiteral("event"), QStringLiteral("check launcher version"));
    const int r = compareVersions(launcherVersion, info.version);
    if (r == -2) {
        qDebug() << "server error";
        event.insert(QStringLiteral("result"), QStringLiteral("server error"));
        isDownloading = false;
        ui->launcherDownloadInfo->setVisible(true);
        ui->launcherDownloadInfo->setTextKey(QStringLiteral("SERVER_ERROR"), true, true);
    } else if (r == -1) {
        qDebug() << "need to update launcher";
        event.insert(QStringLiteral("result"), QStringLiteral("need to update launcher"));
        isDownloading = true;
        ui->launcherDownloadInfo->setVisible(true);
        ui->launcherProgressBar->setVisible(true);
        ui->launcherProgressBar->setProgress(0);
        const QUrl url(
            QStringLiteral("%1v%2_%3").arg(cdnBaseUrl, info.version, QString::fromLatin1(LauncherFileName)));
        QNetworkReply *reply = startRequest(url, launcherFileTimeoutMs);
        connect(reply, SIGNAL(finished()), this, SLOT(launcherFileDownloadFinished()));
        connect(reply, SIGNAL(downloadProgress(qint64, qint64)), this,
                SLOT(launcherDownloadProgress(qint64, qint64)));
        connect(reply, SIGNAL(error(QNetworkReply::NetworkError)), this,
                SLOT(launcherDownloadNetworkError(QNetworkReply::NetworkError)));
    } else {
        qDebug() << "no need to update launcher";
        event.insert(QStringLiteral("result"), QStringLiteral("no need to update launcher"));
        QTimer::singleShot(500, this, [this]() { showGameResourcePage(); });
    }
    sendLogEvent(event);
}

int LauncherUpdater::compareVersions(const QString &local, const QString &remote) {
    bool ok = false;
    const float l = local.toFloat(&ok);
    if (!ok || !std::isfinite(l))
        return -2;
    const float r = remote.toFloat(&ok);
    if (!ok || !std::isfinite(r))
        return -2;
    if (std::fabs(l - r) < 1e-5f)
        return 0;
    return r > l ? -1 : 1;
}
