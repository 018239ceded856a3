#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class CdnHosts;
class QNetworkAccessManager;
class QNetworkReply;

// Fetches a small file that the version file lists by its digest (a block map, an entry index)
// from the first usable CDN host (never a peer among the hosts), or from the next when that one fails,
// answers with anything but 200, or sends more than `maxBytes`. The caller checks what arrived: refused()
// asks the next host (the one that sent it served wrong bytes), accepted() tells the hosts it served. Without
// hosts the file comes from cdnBaseUrl. Nothing is emitted after cancel().
class ListedFileFetch : public QObject {
    Q_OBJECT
public:
    // `what` names the file in reasons ("the block map v2_a.pak.kvmap").
    ListedFileFetch(const QString &remotePath, const QString &what, qint64 maxBytes,
                    QNetworkAccessManager *network, int transferTimeoutMs, QObject *parent = nullptr);
    ~ListedFileFetch() override; // cancels

    // Before start(); not owned.
    void setHosts(CdnHosts *hosts) { cdn = hosts; }
    void start();
    void cancel();
    // After arrived(): the bytes are not the listed ones. The host is told, and the next one asked.
    void refused(const QString &reason);
    // After arrived(): the bytes are the listed ones.
    void accepted();

signals:
    void arrived(const QByteArray &bytes);
    // No host gave the file.
    void failed(const QString &reason);

private:
    bool takeBytes();
    void fetch();
    void next(const QString &reason);
    void replyFinished();
    void dropReply();

    QString remotePath;
    QString what;
    qint64 maxBytes = 0;
    QNetworkAccessManager *network = nullptr;
    CdnHosts *cdn = nullptr;
    int timeoutMs = 0;
    QStringList hosts; // still to ask, the current one first
    QNetworkReply *reply = nullptr;
    QByteArray bytes;
    bool done = false;
};
