#pragma once

#include <QNetworkAccessManager>

// A network access manager whose downloads keep to the player's download cap: every GET answer is
// read through a CappedReply. The launcher's other requests (events, crash reports) go as they are.
class CappedNetworkAccess : public QNetworkAccessManager {
    Q_OBJECT
public:
    using QNetworkAccessManager::QNetworkAccessManager;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *outgoingData = nullptr) override;
};
