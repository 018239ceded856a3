#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

// Posts usage events to the event-log endpoint, fire and forget: one compact JSON object per
// event with the campaign and device identifiers and "src" added. Nothing is retried or kept.
class EventLogClient : public QObject {
    Q_OBJECT

public:
    // An empty url means the build's logUrl.
    explicit EventLogClient(QNetworkAccessManager *manager, const QUrl &url = QUrl(),
                            QObject *parent = nullptr);

    QUrl url() const { return target; }

    // A log endpoint that stops sending must not keep replies alive for the rest of the run.
    static constexpr int DefaultTransferTimeoutMs = 15000;
    void setTransferTimeout(int ms) { transferTimeoutMs = ms; }

    // The body as it goes on the wire: compact, keys in ascending order, the three common keys
    // replacing any of the same name in the event.
    static QByteArray body(QJsonObject event, const QString &gclid, const QString &deviceId);

    void send(const QJsonObject &event, const QString &gclid, const QString &deviceId);

    // Events posted and not answered yet.
    int inFlight() const { return unanswered; }
    // Runs the event loop until every event posted so far has been answered, or for at most
    // maxMs; true when none is left. A launcher that ends (EXIT, the restart for its own update)
    // would otherwise cut off the events it sent last.
    bool waitUntilAnswered(int maxMs);

signals:
    // After the reply has finished; "log 0 " or "log 1 " has been logged by then.
    void finished(bool delivered, const QByteArray &body);
    void allAnswered();

private:
    QNetworkAccessManager *manager;
    QUrl target;
    int transferTimeoutMs = DefaultTransferTimeoutMs;
    int unanswered = 0;
};
