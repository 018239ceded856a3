// Self-update: download the newer launcher, verify it, store it beside us and hand over to the script.
#include "launcher/launcherupdater.h"
#include "platform/filenamerules.h"

#include "core/atomicfile.h"
#include "download/versiontable.h"
#include "launcher/ui_launcherupdater.h"
#include "platform/platform.h"
#include "workflow/labelargs.h"

#include <QDebug>
#include <QMetaEnum>

#include <cmath>

namespace {
const char *const LauncherFileName = "Kestrivane.exe";

// The most the launcher download may bring: its listed size, or a fixed ceiling when the version
// file gives none that can be used. It is held in memory until verified, so never more than that
// ceiling either.
qint64 launcherSizeLimit(qint64 listedSize) {
    return listedSize > 0 ? qMin(listedSize, VersionTable::MaxLauncherFileSize)
                          : VersionTable::MaxLauncherFileSize;
}
} // namespace

void LauncherUpdater::launcherDownloadProgress(qint64 bytesReceived, qint64 bytesTotal) {
    QNetworkReply *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        reply = currentReply;
    if (reply && reply->error() != QNetworkReply::NoError)
        return;

    // Never take more than the version file announced for the launcher.
    const qint64 limit =
        launcherSizeLimit(VersionTable::instance().value(QString::fromLatin1(LauncherFileName)).size);
    if (reply && (bytesReceived > limit || bytesTotal > limit)) {
        qDebug() << "launcher download larger than listed size" << bytesReceived << bytesTotal << limit;
        reply->abort();
        return;
    }

    qDebug().noquote()
        << QStringLiteral("launcherDownloadProgress %1, %2").arg(bytesReceived).arg(bytesTotal);
    const QString done = formatSize(bytesReceived, 2);
    const QString total = bytesTotal < 0 ? QString() : QStringLiteral("/%1").arg(formatSize(bytesTotal, 2));

    float percent = 0.0f;
    if (bytesReceived != 0 || bytesTotal != 0)
        percent = float(bytesReceived) * 100.0f / float(bytesTotal);
    if (std::isnan(percent))
        percent = 0.0f;
    ui->launcherProgressBar->setProgress(percent);

    ui->launcherDownloadInfo->setTextKey(QStringLiteral("%1 %2%3"), false, true);
    ui->launcherDownloadInfo->setArgs(
        {LabelArgs::key(QStringLiteral("UPDATING")), LabelArgs::text(done), LabelArgs::text(total)});
}

void LauncherUpdater::launcherDownloadNetworkError(QNetworkReply::NetworkError code) {
    const char *name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code);
    qDebug() << "network error" << (name ? name : "unknown");
    retryVersionCheck(trKey(QStringLiteral("LOAD_ERROR")));
}

void LauncherUpdater::launcherFileDownloadFinished() {
    qDebug() << "launcher file download finished.";
    QNetworkReply *reply = takeFinishedReply();
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        isDownloading = false;
        return;
    }

    const RemoteFileInfo info = VersionTable::instance().value(QString::fromLatin1(LauncherFileName));
    if (reply->bytesAvailable() > launcherSizeLimit(info.size)) {
        // The whole body may arrive before the progress check could abort it.
        qDebug() << "launcher download larger than listed size" << reply->bytesAvailable() << info.size;
        isDownloading = false;
        launcherDownloadNetworkError(QNetworkReply::OperationCanceledError);
        return;
    }
    const QByteArray body = reply->readAll();
    const QString md5 = VersionTable::md5Hex(body);
    qDebug().noquote() << "launcher.md5 = " + info.md5 + ", download md5 = " + md5;
    if (info.md5 == md5) {
        const QString fileName =
            QStringLiteral("v%1_%2").arg(info.version, QString::fromLatin1(LauncherFileName));
        if (writeAppDirFile(body, fileName)) {
            qDebug() << "download finished, wait for restart";
            isDownloading = false;
            runUpdateScript(fileName);
            return;
        }
        qDebug() << "file write error";
        ui->launcherDownloadInfo->setTextKey(QStringLiteral("WRITE_ERROR"), true, true);
    } else {
        qDebug() << "md5 not same";
        ui->launcherDownloadInfo->setTextKey(QStringLiteral("VERIFY_ERROR"), true, true);
    }
    isDownloading = false;
}

bool LauncherUpdater::writeAppDirFile(const QByteArray &data, const QString &fileName) {
    if (!FileNameRules::isSafeFileName(fileName)) {
        qDebug().noquote() << "refusing to write unsafe file name " + fileName;
        return false;
    }
    if (!data.isEmpty())
        qDebug() << "data size " << data.size();
    // A failed or interrupted write never leaves a half file under the final name.
    const Result<AtomicFile::Error> written =
        AtomicFile::write(QStringLiteral("%1/%2").arg(Platform::launcherDir(), fileName), data);
    if (!written.ok())
        qDebug().noquote() << "cannot write file: " + written.reason();
    return written.ok();
}

void LauncherUpdater::runUpdateScript(const QString &fileName) {
    if (!Platform::startUpdateScript(Platform::launcherDir(), fileName))
        qDebug().noquote() << "update script could not be started for " + fileName;
    closeForGood();
}

QString LauncherUpdater::formatSize(float size, int precision) {
    // A byte count is never negative; refusing it (and NaN) keeps the whole-number cast defined.
    const double x = size >= 0.0f ? double(size) : 0.0;
    if (x < 1024.0)
        return QStringLiteral("%1B").arg(static_cast<qint64>(x));
    const char *unit;
    double v;
    if (x < 1048576.0) {
        unit = "KB";
        v = x / 1024.0;
    } else if (x < 1073741824.0) {
        unit = "MB";
        v = x / 1048576.0;
    } else {
        unit = "GB";
        v = x / 1073741824.0;
    }
    const double scale = std::pow(10.0, precision);
    const double whole = std::floor(v);
    const double rounded = whole + std::floor((v - whole) * scale + 0.5) / scale;
    return QString::number(rounded, 'g', 6) + QLatin1String(unit);
}
