#pragma once

#include <QNetworkAccessManager>

// A network access manager whose downloads keep to the player's download cap: every GET answer is
// read through a CappedReply. The launcher's other requests (events, crash reports) go as they are.
class CappedNetworkAccess : public QNetworkAccessManager {
    Q_OBJECT
public:
    using QNetworkAccessManager::QNetworkAccessManager;
    // The capped replies go first, each with the reply it wraps: the base class deletes every
    // reply it finds among its descendants, the wrapped ones too, which their wrapper deletes as well.
    ~CappedNetworkAccess() override;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *outgoingData = nullptr) override;
};
