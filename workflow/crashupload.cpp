#include "workflow/crashupload.h"

#include "core/buildconstants.h"
#include "core/filedigest.h"
#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHttpMultiPart>
#include <QHttpPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

constexpr int uploadTimeoutMs = 3000;

QHttpPart textPart(const char *name, const QByteArray &body) {
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QStringLiteral("form-data; name=\"%1\"").arg(QLatin1String(name)));
    part.setBody(body);
    return part;
}

// The file name goes into a header line: characters that would end the quoted value or the line
// are replaced (none of them can occur in a Windows file name).
QString headerSafeFileName(QString name) {
    for (QChar &c : name) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            c = QLatin1Char('_');
    }
    return name;
}

} // namespace

QString crashInfoDir() {
    return Platform::launcherDir() + QStringLiteral("/crash_info");
}

QString findCrashArchive(const QString &crashDir) {
    QDir dir(crashDir);
    if (crashDir.isEmpty() || !dir.exists())
        return QString();
    const QStringList archives = dir.entryList(QStringList{QStringLiteral("*.zip")},
                                               QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    return archives.size() == 1 ? archives.first() : QString();
}

QByteArray crashGuid(const QString &archiveName) {
    const QStringList parts = archiveName.split(QLatin1Char('.'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    return parts.size() == 2 ? parts.first().toUtf8() : QByteArray();
}

QByteArray fileMd5Hex(const QString &path) {
    QByteArray md5;
    FileDigest::md5Hex(path, &md5);
    return md5;
}

QNetworkReply *postCrashReport(QNetworkAccessManager *nam, const QString &crashDir,
                               const QString &archiveName, const QByteArray &gclid,
                               const QByteArray &deviceId, const QString &description) {
    return postCrashReport(nam, QUrl(crashUploadUrl, QUrl::TolerantMode), crashDir, archiveName, gclid,
                           deviceId, description);
}

QNetworkReply *postCrashReport(QNetworkAccessManager *nam, const QUrl &url, const QString &crashDir,
                               const QString &archiveName, const QByteArray &gclid,
                               const QByteArray &deviceId, const QString &description) {
    const QString path = crashDir + QLatin1Char('/') + archiveName;
    const QByteArray md5 = fileMd5Hex(path);
    if (md5.isEmpty())
        qDebug().noquote().nospace() << "cannot read crash archive " << path;

    auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    multiPart->append(textPart("crash_guid", crashGuid(archiveName)));
    multiPart->append(textPart("crash_md5", md5));
    multiPart->append(textPart("gclid", gclid));
    multiPart->append(textPart("device_id", deviceId));
    multiPart->append(textPart("description", description.toUtf8()));

    QHttpPart zipPart;
    zipPart.setHeader(QNetworkRequest::ContentDispositionHeader,
                      QStringLiteral("form-data; name=\"crash_zip\"; filename=\"%1\"")
                          .arg(headerSafeFileName(archiveName)));
    zipPart.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-zip-compressed"));
    auto *archive = new QFile(path, multiPart);
    if (archive->open(QIODevice::ReadOnly)) {
        zipPart.setBodyDevice(archive);
    } else {
        // An unopened device would stall the upload; send the part empty instead.
        delete archive;
        archive = nullptr;
        zipPart.setBody(QByteArray());
    }
    multiPart->append(zipPart);

    QNetworkRequest request(url);
    request.setTransferTimeout(uploadTimeoutMs);
    // 307 and 308 send the form again to the new place; https is never left for http.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = nam->post(request, multiPart);
    multiPart->setParent(reply);
    if (archive)
        archive->setParent(reply);
    return reply;
}
