#include "services/eventlogclient.h"

#include "core/buildconstants.h"

#include <QDebug>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

EventLogClient::EventLogClient(QNetworkAccessManager *manager, const QUrl &url, QObject *parent)
    : QObject(parent)
    , manager(manager)
    , target(url.isEmpty() ? QUrl(logUrl) : url) {}

QByteArray EventLogClient::body(QJsonObject event, const QString &gclid, const QString &deviceId) {
    event.insert(QStringLiteral("gclid"), gclid);
    event.insert(QStringLiteral("deviceId"), deviceId);
    event.insert(QStringLiteral("src"), QStringLiteral("game_launcher"));
    return QJsonDocument(event).toJson(QJsonDocument::Compact);
}

void EventLogClient::send(const QJsonObject &event, const QString &gclid, const QString &deviceId) {
    const QByteArray payload = body(event, gclid, deviceId);
    QNetworkRequest request(target);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(transferTimeoutMs);
    // 307 and 308 keep the post; 301 and 302 turn it into a GET, as browsers do.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = manager->post(request, payload);
    ++unanswered;
    connect(reply, &QNetworkReply::finished, this, [this, reply, payload]() {
        const bool delivered = reply->error() == QNetworkReply::NoError;
        qDebug().noquote() << (delivered ? "log 0 " : "log 1 ") + QString::fromUtf8(payload);
        reply->deleteLater();
        --unanswered;
        emit finished(delivered, payload);
        if (unanswered == 0)
            emit allAnswered();
    });
}

bool EventLogClient::waitUntilAnswered(int maxMs) {
    if (unanswered == 0)
        return true;
    QEventLoop loop;
    connect(this, &EventLogClient::allAnswered, &loop, &QEventLoop::quit);
    QTimer::singleShot(maxMs, &loop, &QEventLoop::quit);
    // A click on a window that is going away must not start anything new meanwhile.
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (unanswered > 0)
        qWarning() << unanswered << "events not answered when the launcher left";
    return unanswered == 0;
}
