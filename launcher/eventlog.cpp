// Usage events to the event-log endpoint, tagged with the campaign and device identifiers.
#include "launcher/launcherupdater.h"

#include "app/buildconstants.h"
#include "platform/platform.h"
#include "services/campaignid.h"
#include "services/deviceid.h"

#include <QDebug>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>

namespace {
const char *const InstallerKey = "HKEY_CURRENT_USER\\SOFTWARE\\Quelvane";
}

void LauncherUpdater::sendLogEvent(QJsonObject event) {
    event.insert(QStringLiteral("gclid"), gclid);
    event.insert(QStringLiteral("deviceId"), deviceId);
    event.insert(QStringLiteral("src"), QStringLiteral("game_launcher"));
    // QJsonObject keeps its keys sorted, so the body lists them in ascending order.
    const QByteArray body = QJsonDocument(event).toJson(QJsonDocument::Compact);

    QNetworkRequest request{QUrl(logUrl)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = networkManager->post(request, body);
    connect(reply, &QNetworkReply::finished, this, [reply, body]() {
        if (reply->error() != QNetworkReply::NoError)
            qDebug().noquote() << "log 1 " + QString::fromUtf8(body);
        else
            qDebug().noquote() << "log 0 " + QString::fromUtf8(body);
        reply->deleteLater();
    });
}

void LauncherUpdater::readCampaignId() {
    const QString key = QString::fromLatin1(InstallerKey);
    const QString fileName = Platform::registryValue(key, QStringLiteral("Filename"));
    qDebug().noquote() << "filename=" + fileName +
                              ", keys=" + Platform::registryValueNames(key).join(QLatin1Char(','));
    if (fileName.isEmpty())
        return;
    gclid = campaignIdFromFilename(fileName);
    qDebug().noquote() << "gclid=" + gclid;
}

void LauncherUpdater::readDeviceId() {
    deviceId = deviceIdFromSmbiosTable(Platform::rawSmbiosTable());
}
