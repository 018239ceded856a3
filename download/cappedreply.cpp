#include "download/cappedreply.h"

#include "download/bandwidthcap.h"

#include <QTimer>

#include <cstring>

CappedReply::CappedReply(QNetworkReply *in, QObject *parent)
    : QNetworkReply(parent)
    , inner(in)
    , capReader(BandwidthCap::instance().attach())
    , tick(new QTimer(this)) {
    inner->setParent(this);
    setRequest(inner->request());
    setOperation(inner->operation());
    setUrl(inner->url());
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    tick->setSingleShot(true);
    connect(tick, &QTimer::timeout, this, &CappedReply::pull);
    connect(inner, &QNetworkReply::metaDataChanged, this, [this] {
        copyMetaData();
        emit metaDataChanged();
    });
    connect(inner, &QNetworkReply::downloadProgress, this,
            [this](qint64, qint64 announced) { total = announced; });
    connect(inner, &QNetworkReply::uploadProgress, this, &QNetworkReply::uploadProgress);
    connect(inner, &QIODevice::readyRead, this, &CappedReply::pull);
    connect(inner, &QNetworkReply::finished, this, &CappedReply::innerFinished);
    readBuffer = BandwidthCap::instance().readBufferSize();
    inner->setReadBufferSize(readBuffer);
}

CappedReply::~CappedReply() {
    BandwidthCap::instance().detach(capReader);
}

void CappedReply::copyMetaData() {
    setUrl(inner->url());
    for (const QNetworkReply::RawHeaderPair &header : inner->rawHeaderPairs())
        setRawHeader(header.first, header.second);
    // Progress reports the total from the first bytes on, as the inner reply's would.
    const QVariant length = inner->header(QNetworkRequest::ContentLengthHeader);
    if (total < 0 && length.isValid())
        total = length.toLongLong();
    for (QNetworkRequest::Attribute a :
         {QNetworkRequest::HttpStatusCodeAttribute, QNetworkRequest::HttpReasonPhraseAttribute,
          QNetworkRequest::RedirectionTargetAttribute, QNetworkRequest::ConnectionEncryptedAttribute,
          QNetworkRequest::SourceIsFromCacheAttribute, QNetworkRequest::HttpPipeliningWasUsedAttribute,
          QNetworkRequest::Http2WasUsedAttribute}) {
        const QVariant v = inner->attribute(a);
        if (v.isValid())
            setAttribute(a, v);
    }
}

qint64 CappedReply::bytesAvailable() const {
    return buffer.size() + QNetworkReply::bytesAvailable();
}

qint64 CappedReply::readData(char *data, qint64 maxSize) {
    const qint64 n = qMin<qint64>(maxSize, buffer.size());
    if (n <= 0)
        return done ? -1 : 0;
    std::memcpy(data, buffer.constData(), size_t(n));
    buffer.remove(0, int(n));
    return n;
}

void CappedReply::pull() {
    if (done)
        return;
    BandwidthCap &cap = BandwidthCap::instance();
    const qint64 size = cap.readBufferSize();
    if (size != readBuffer) {
        readBuffer = size;
        inner->setReadBufferSize(readBuffer);
    }
    const qint64 wanted = inner->bytesAvailable();
    const qint64 allowed = cap.take(capReader, wanted);
    if (allowed < wanted && !tick->isActive())
        tick->start(BandwidthCap::TickMs);
    if (allowed > 0) {
        const QByteArray got = inner->read(allowed);
        buffer += got;
        delivered += got.size();
        emit readyRead();
        if (done)
            return; // aborted by a reader
        emit downloadProgress(delivered, total);
        if (done)
            return;
    }
    if (innerDone && inner->bytesAvailable() == 0)
        finishNow();
}

void CappedReply::innerFinished() {
    if (done)
        return;
    copyMetaData();
    innerDone = true;
    if (inner->error() == QNetworkReply::NoError) {
        pull(); // the rest goes through as the cap allows; the last of it ends the reply
        return;
    }
    // A failed reply's body is no download the player waits for: handed on at once, counted later.
    const QByteArray rest = inner->readAll();
    BandwidthCap::instance().charge(capReader, rest.size());
    buffer += rest;
    delivered += rest.size();
    finishNow();
}

void CappedReply::finishNow() {
    if (done)
        return;
    done = true;
    tick->stop();
    if (inner->error() != QNetworkReply::NoError) {
        setError(inner->error(), inner->errorString());
        // The reply passes it on to the older spelling, error(), itself: once each.
        emit errorOccurred(inner->error());
    }
    setFinished(true);
    emit finished();
}

void CappedReply::abort() {
    if (done)
        return;
    // The inner reply reports the abort as an error and ends: so does this one, at once.
    inner->abort();
    if (!done) {
        innerDone = true;
        finishNow();
    }
}

void CappedReply::ignoreSslErrors() {
    inner->ignoreSslErrors();
}
