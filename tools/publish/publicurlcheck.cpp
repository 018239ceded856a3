#include "tools/publish/publicurlcheck.h"

#include <QEventLoop>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

constexpr int TimeoutMs = 30000;

} // namespace

PublicUrlCheck::PublicUrlCheck(const QString &base)
    : base(base.endsWith(QLatin1Char('/')) ? base : base + QLatin1Char('/')) {}

bool PublicUrlCheck::fetch(const QString &name, const QByteArray &method, const QByteArray &range,
                           qint64 limit, int *status, QByteArray *body, qint64 *length, QString *why) {
    QNetworkRequest request(QUrl(base + QString::fromUtf8(QUrl::toPercentEncoding(name))));
    request.setTransferTimeout(TimeoutMs);
    // What players get: a copy that a cache along the way has kept counts as what they get.
    if (!range.isEmpty())
        request.setRawHeader("Range", range);
    // HEAD through its own call: a custom request would wait for the body the length announces.
    QNetworkReply *reply =
        method == "HEAD" ? network.head(request) : network.sendCustomRequest(request, method);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply, limit](qint64 received, qint64) {
        if (received > limit)
            reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    reply->deleteLater();
    *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    *length = reply->header(QNetworkRequest::ContentLengthHeader).isValid()
                  ? reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()
                  : -1;
    *body = limit > 0 && reply->isOpen() ? reply->read(limit) : QByteArray();
    if (*status == 0) {
        *why = reply->errorString();
        return false;
    }
    return true;
}

Result<PublicUrlCheck::Error> PublicUrlCheck::check(const QString &name, const QString &localPath) {
    const QString url = base + name;
    QFile local(localPath);
    if (!local.open(QIODevice::ReadOnly))
        return {Error::Wrong, QStringLiteral("cannot read %1: %2").arg(localPath, local.errorString())};
    const qint64 size = local.size();
    int status = 0;
    qint64 length = -1;
    QByteArray body;
    QString why;
    if (!fetch(name, "HEAD", QByteArray(), 0, &status, &body, &length, &why))
        return {Error::Wrong, QStringLiteral("%1 does not answer: %2").arg(url, why)};
    if (status != 200)
        return {Error::Wrong, QStringLiteral("%1 answers HTTP %2, not the file").arg(url).arg(status)};
    if (length != size)
        return {Error::Wrong,
                QStringLiteral("%1 gives a size of %2 bytes, not %3").arg(url).arg(length).arg(size)};
    if (size == 0)
        return {};
    const qint64 n = qMin(EndBytes, size);
    const QList<qint64> starts{0, size - n};
    for (const qint64 start : starts) {
        const QByteArray range =
            "bytes=" + QByteArray::number(start) + '-' + QByteArray::number(start + n - 1);
        if (!fetch(name, "GET", range, n, &status, &body, &length, &why))
            return {Error::Wrong,
                    QStringLiteral("%1 does not answer %2: %3").arg(url, QString::fromLatin1(range), why)};
        // A whole small file is as good as its range; a large one must come in pieces.
        if (status == 200 && size <= n)
            body = body.mid(static_cast<int>(start), static_cast<int>(n));
        else if (status != 206)
            return {Error::Wrong, QStringLiteral("%1 answers HTTP %2 to %3, not the range")
                                      .arg(url)
                                      .arg(status)
                                      .arg(QString::fromLatin1(range))};
        local.seek(start);
        if (body != local.read(n))
            return {Error::Wrong, QStringLiteral("%1 serves other bytes than %2 at %3-%4")
                                      .arg(url, localPath)
                                      .arg(start)
                                      .arg(start + n - 1)};
    }
    return {};
}
