#pragma once

#include <QByteArray>
#include <QNetworkReply>

class QTimer;

// A reply read through the player's download cap (BandwidthCap): it takes the bytes of the reply
// the network layer gives as the cap allows and hands them on, so that code reading a whole body
// at its end (the version file, the self-update) keeps to the cap unchanged. What the cap holds
// back stays in the inner reply, whose small read buffer lets TCP slow the server down. Headers,
// attributes and errors are the inner reply's; finished() comes once the last byte went through.
class CappedReply : public QNetworkReply {
    Q_OBJECT
public:
    // Takes `inner` over (it becomes a child).
    explicit CappedReply(QNetworkReply *inner, QObject *parent = nullptr);
    ~CappedReply() override;

    void abort() override;
    void ignoreSslErrors() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    void copyMetaData();
    void pull();
    void innerFinished();
    void finishNow();

    QNetworkReply *inner = nullptr;
    QByteArray buffer; // let through, not yet read
    qint64 delivered = 0;
    qint64 total = -1;
    quint64 capReader = 0;
    qint64 readBuffer = -1;
    QTimer *tick = nullptr;
    bool innerDone = false;
    bool done = false;
};
