#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QIODevice;

// Reads what one peer sends to the primary over its connection. Every frame is an 8-byte length
// header (a big-endian qint64, answered with one acknowledgement byte) followed by that many bytes.
// The first frame is the greeting (key, connection kind, instance id, CRC-16 of the rest); every
// later one is a message. Works on any QIODevice, so the bytes of a peer can come from its local
// socket or from a buffer; it never reads a body before all of it is available and never accepts
// a length above MaxFrameLength.
class PeerFrameReader {
public:
    enum Result {
        NeedMore, // the device holds no complete header or body
        Greeting, // a valid greeting: kind() and instanceId() are set; answer it with acknowledge()
        Message,  // a message, already acknowledged: takeMessage()
        Rejected, // an invalid length or greeting: the connection must be closed
    };

    static constexpr qint64 MaxFrameLength = 1024 * 1024;
    static constexpr int HeaderSize = 8;
    static constexpr char Ack = '\n';

    explicit PeerFrameReader(const QString &keyName = QString());

    // Reads headers and bodies until a greeting or a message is complete, the device runs dry or
    // the peer sent something invalid.
    Result next(QIODevice *device);
    void acknowledge(QIODevice *device);

    bool greeted() const { return stage >= ExpectMessageHeader; }
    quint8 kind() const { return connectionKind; }
    quint32 instanceId() const { return senderInstanceId; }
    QByteArray takeMessage();

    static QByteArray encodeHeader(qint64 length);
    static QByteArray encodeGreeting(const QString &keyName, quint8 kind, quint32 instanceId);

private:
    enum Stage : quint8 {
        ExpectInitHeader,
        ExpectInitBody,
        ExpectMessageHeader,
        ExpectMessageBody,
    };

    // Reads the header the stage expects and moves on to its body.
    bool readHeader(QIODevice *device, bool *rejected);
    Result readGreeting(QIODevice *device);
    Result readMessage(QIODevice *device);

    QString expectedKey;
    qint64 bodyLength = 0;
    quint32 senderInstanceId = 0;
    quint8 connectionKind = 0;
    Stage stage = ExpectInitHeader;
    QByteArray pendingMessage;
};
