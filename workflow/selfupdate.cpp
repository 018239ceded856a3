#include "workflow/selfupdate.h"

#include "core/atomicfile.h"
#include "download/cdnhosts.h"
#include "platform/filenamerules.h"
#include "platform/platform.h"
#include "workflow/labelargs.h"
#include "workflow/progresstext.h"
#include "workflow/versioncheck.h"
#include "workflow/workflowsetup.h"

#include <QDebug>
#include <QJsonObject>
#include <QMetaEnum>
#include <QUrl>

#include <cmath>

namespace {

// The most the launcher download may bring: its listed size, or a fixed ceiling when the version
// file gives none that can be used. It is held in memory until verified, so never more than that
// ceiling either.
qint64 launcherSizeLimit(qint64 listedSize) {
    return listedSize > 0 ? qMin(listedSize, VersionTable::MaxLauncherFileSize)
                          : VersionTable::MaxLauncherFileSize;
}

RemoteFileInfo launcherEntry() {
    return VersionTable::instance().value(QString::fromLatin1(LauncherFileName));
}

} // namespace

SelfUpdate::SelfUpdate(const WorkflowSetup &setup, QNetworkAccessManager *manager, CdnHosts *hosts,
                       QObject *parent)
    : WorkflowPart(parent)
    , setup(setup)
    , manager(manager)
    , hosts(hosts) {}

void SelfUpdate::start(const RemoteFileInfo &entry) {
    release = entry;
    askedHosts.clear();
    if (!tryNextHost())
        requestFrom(setup.cdnBaseUrl);
}

bool SelfUpdate::tryNextHost() {
    for (const QString &candidate : hosts->usable()) {
        if (!askedHosts.contains(candidate)) {
            requestFrom(candidate);
            return true;
        }
    }
    return false;
}

void SelfUpdate::requestFrom(const QString &baseUrl) {
    host = baseUrl;
    askedHosts.append(baseUrl);
    emit progress(WorkflowStatus::LauncherBar, 0.0f);
    const QUrl url(
        QStringLiteral("%1v%2_%3").arg(baseUrl, release.version, QString::fromLatin1(LauncherFileName)));
    QNetworkReply *reply = CdnRequest::get(manager, url, setup.launcherFileTimeoutMs);
    currentReply = reply;
    connect(reply, SIGNAL(finished()), this, SLOT(launcherFileDownloadFinished()));
    connect(reply, SIGNAL(downloadProgress(qint64, qint64)), this,
            SLOT(launcherDownloadProgress(qint64, qint64)));
    connect(reply, SIGNAL(error(QNetworkReply::NetworkError)), this,
            SLOT(launcherDownloadNetworkError(QNetworkReply::NetworkError)));
}

void SelfUpdate::launcherDownloadProgress(qint64 bytesReceived, qint64 bytesTotal) {
    QNetworkReply *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        reply = currentReply;
    if (reply && reply->error() != QNetworkReply::NoError)
        return;

    // Never take more than the version file announced for the launcher.
    const qint64 limit = launcherSizeLimit(launcherEntry().size);
    if (reply && (bytesReceived > limit || bytesTotal > limit)) {
        qDebug() << "launcher download larger than listed size" << bytesReceived << bytesTotal << limit;
        reply->abort();
        return;
    }

    qDebug().noquote()
        << QStringLiteral("launcherDownloadProgress %1, %2").arg(bytesReceived).arg(bytesTotal);
    const QString done = ProgressText::formatSize(bytesReceived, 2);
    const QString total =
        bytesTotal < 0 ? QString() : QStringLiteral("/%1").arg(ProgressText::formatSize(bytesTotal, 2));

    float percent = 0.0f;
    if (bytesReceived != 0 || bytesTotal != 0)
        percent = float(bytesReceived) * 100.0f / float(bytesTotal);
    if (std::isnan(percent))
        percent = 0.0f;
    emit progress(WorkflowStatus::LauncherBar, percent);
    emit status(
        WorkflowStatus::LauncherLine,
        WorkflowStatus::pattern(QStringLiteral("%1 %2%3"), {LabelArgs::key(QStringLiteral("UPDATING")),
                                                            LabelArgs::text(done), LabelArgs::text(total)}));
}

void SelfUpdate::launcherDownloadNetworkError(QNetworkReply::NetworkError code) {
    const char *name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code);
    qDebug() << "network error" << (name ? name : "unknown") << CdnHosts::hostName(host);
    // A host that says it lacks the file is up (a mirror not yet synced): only its failure counts.
    const QNetworkReply *reply = qobject_cast<QNetworkReply *>(sender());
    if (!CdnRequest::saysMissing(reply))
        hosts->failed(host,
                      QStringLiteral("launcher download: %1").arg(QLatin1String(name ? name : "unknown")));
    if (tryNextHost())
        return;
    emit networkFailed();
}

void SelfUpdate::launcherFileDownloadFinished() {
    qDebug() << "launcher file download finished.";
    QNetworkReply *reply = CdnRequest::takeFinished(sender(), &currentReply);
    if (!reply)
        return;
    reply->deleteLater();
    // The error slot has handled the failure.
    if (reply->error() != QNetworkReply::NoError)
        return;

    const RemoteFileInfo info = launcherEntry();
    if (reply->bytesAvailable() > launcherSizeLimit(info.size)) {
        // The whole body may arrive before the progress check could abort it.
        qDebug() << "launcher download larger than listed size" << reply->bytesAvailable() << info.size;
        launcherDownloadNetworkError(QNetworkReply::OperationCanceledError);
        return;
    }
    const QByteArray body = reply->readAll();
    const QString md5 = VersionTable::md5Hex(body);
    qDebug().noquote() << "launcher.md5 = " + info.md5 + ", download md5 = " + md5;
    if (info.md5 != md5) {
        qDebug() << "md5 not same" << CdnHosts::hostName(host);
        hosts->servedWrongBytes(host, QStringLiteral("v%1_%2 MD5 %3, listed %4")
                                          .arg(info.version, QLatin1String(LauncherFileName), md5, info.md5));
        if (hosts->count() > 1) {
            // With mirrors the log server learns which host served the wrong launcher.
            QJsonObject wrong;
            wrong.insert(QStringLiteral("event"), QStringLiteral("launcher file verify error"));
            wrong.insert(QStringLiteral("host"), CdnHosts::hostName(host));
            wrong.insert(QStringLiteral("md5"), md5);
            emit event(wrong);
        }
        if (tryNextHost())
            return;
        emit status(WorkflowStatus::LauncherLine, WorkflowStatus::text(QStringLiteral("VERIFY_ERROR")));
        emit failed();
        return;
    }
    hosts->succeeded(host);
    const QString fileName =
        QStringLiteral("v%1_%2").arg(info.version, QString::fromLatin1(LauncherFileName));
    if (!writeAppDirFile(body, fileName)) {
        qDebug() << "file write error";
        emit status(WorkflowStatus::LauncherLine, WorkflowStatus::text(QStringLiteral("WRITE_ERROR")));
        emit failed();
        return;
    }
    qDebug() << "download finished, wait for restart";
    runUpdateScript(fileName);
}

bool SelfUpdate::writeAppDirFile(const QByteArray &data, const QString &fileName) {
    if (!FileNameRules::isSafeFileName(fileName)) {
        qDebug().noquote() << "refusing to write unsafe file name " + fileName;
        return false;
    }
    if (!data.isEmpty())
        qDebug() << "data size " << data.size();
    // A failed or interrupted write never leaves a half file under the final name.
    const Result<AtomicFile::Error> written =
        AtomicFile::write(QStringLiteral("%1/%2").arg(setup.folder, fileName), data);
    if (!written.ok())
        qDebug().noquote() << "cannot write file: " + written.reason();
    return written.ok();
}

void SelfUpdate::runUpdateScript(const QString &fileName) {
    if (!Platform::startUpdateScript(setup.folder, fileName))
        qDebug().noquote() << "update script could not be started for " + fileName;
    emit handedOver(fileName);
}
