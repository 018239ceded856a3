#include "download/cappednetworkaccess.h"

#include "download/cappedreply.h"

CappedNetworkAccess::~CappedNetworkAccess() {
    qDeleteAll(findChildren<CappedReply *>(QString(), Qt::FindDirectChildrenOnly));
}

QNetworkReply *CappedNetworkAccess::createRequest(Operation op, const QNetworkRequest &request,
                                                  QIODevice *outgoingData) {
    QNetworkReply *reply = QNetworkAccessManager::createRequest(op, request, outgoingData);
    if (op != GetOperation)
        return reply;
    return new CappedReply(reply, this);
}
