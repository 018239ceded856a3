#include "singleinstance/peerframereader.h"

#include <QDataStream>
#include <QDebug>
#include <QIODevice>

PeerFrameReader::PeerFrameReader(const QString &keyName)
    : expectedKey(keyName) {}

QByteArray PeerFrameReader::encodeHeader(qint64 length) {
    QByteArray header;
    QDataStream out(&header, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_6);
    out << length;
    return header;
}

QByteArray PeerFrameReader::encodeGreeting(const QString &keyName, quint8 kind, quint32 instanceId) {
    QByteArray greeting;
    QDataStream out(&greeting, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_6);
    out << keyName.toLatin1();
    out << kind;
    out << instanceId;
    out << qChecksum(greeting.constData(), static_cast<uint>(greeting.size()), Qt::ChecksumIso3309);
    return greeting;
}

PeerFrameReader::Result PeerFrameReader::next(QIODevice *device) {
    for (;;) {
        if (stage == ExpectInitBody)
            return readGreeting(device);
        if (stage == ExpectMessageBody)
            return readMessage(device);
        bool rejected = false;
        if (!readHeader(device, &rejected))
            return rejected ? Rejected : NeedMore;
    }
}

void PeerFrameReader::acknowledge(QIODevice *device) {
    device->write(&Ack, 1);
}

QByteArray PeerFrameReader::takeMessage() {
    QByteArray message;
    message.swap(pendingMessage);
    return message;
}

bool PeerFrameReader::readHeader(QIODevice *device, bool *rejected) {
    if (device->bytesAvailable() < HeaderSize)
        return false;
    const QByteArray raw = device->read(HeaderSize);
    QDataStream in(raw);
    in.setVersion(QDataStream::Qt_5_6);
    qint64 length = -1;
    in >> length;
    if (in.status() != QDataStream::Ok || length < 0 || length > MaxFrameLength) {
        qDebug() << "SingleApplication: Peer announced an invalid frame length, closing. length=" << length;
        *rejected = true;
        return false;
    }
    bodyLength = length;
    // The first body is the greeting, every later one a message.
    stage = stage == ExpectInitHeader ? ExpectInitBody : ExpectMessageBody;
    acknowledge(device);
    return true;
}

PeerFrameReader::Result PeerFrameReader::readGreeting(QIODevice *device) {
    if (device->bytesAvailable() < bodyLength)
        return NeedMore;

    const QByteArray body = device->read(bodyLength);
    QDataStream in(body);
    in.setVersion(QDataStream::Qt_5_6);
    QByteArray peerKey;
    quint8 kind = 0;
    quint32 peerInstanceId = 0;
    quint16 peerCrc = 0;
    in >> peerKey >> kind >> peerInstanceId >> peerCrc;

    bool valid = in.status() == QDataStream::Ok && body.size() >= 2;
    if (valid) {
        const QString key = QString::fromLatin1(
            peerKey.constData(), static_cast<int>(qstrnlen(peerKey.constData(), peerKey.size())));
        const quint16 crc =
            qChecksum(body.constData(), static_cast<uint>(body.size() - 2), Qt::ChecksumIso3309);
        valid = key == expectedKey && crc == peerCrc;
    }
    if (!valid) {
        qDebug() << "SingleApplication: Rejected a greeting, closing the connection.";
        return Rejected;
    }
    connectionKind = kind;
    senderInstanceId = peerInstanceId;
    stage = ExpectMessageHeader;
    return Greeting;
}

PeerFrameReader::Result PeerFrameReader::readMessage(QIODevice *device) {
    if (device->bytesAvailable() < bodyLength)
        return NeedMore;
    pendingMessage = device->read(bodyLength);
    stage = ExpectMessageHeader;
    acknowledge(device);
    return Message;
}
