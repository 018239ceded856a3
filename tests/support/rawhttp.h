#pragma once

// Requests written byte for byte on a socket of the test's own, for servers whose answers to odd,
// refused or held requests matter.

#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

namespace RawHttp {

// Connects from `from` (any address when null) and sends `request` as is; false only when `from`
// cannot be bound. The socket reads ahead at most 16 KiB, so a transfer nobody reads stays open.
inline bool send(QTcpSocket *socket, const QHostAddress &from, const QHostAddress &to, quint16 port,
                 const QByteArray &request) {
    if (!from.isNull() && !socket->bind(from, 0))
        return false;
    socket->setReadBufferSize(16 * 1024);
    socket->connectToHost(to, port);
    if (socket->waitForConnected(10000))
        socket->write(request);
    return true;
}

// The status of the answer's first line: 0 when the connection closed (or never opened) without one,
// -1 when nothing came in time.
inline int status(QTcpSocket *socket, int timeoutMs = 10000) {
    const bool ended = QTest::qWaitFor(
        [socket] {
            return socket->bytesAvailable() >= 12 || socket->state() != QAbstractSocket::ConnectedState;
        },
        timeoutMs);
    const QByteArray head = socket->peek(12);
    if (head.size() == 12 && head.startsWith("HTTP/1."))
        return head.mid(9, 3).toInt();
    return ended ? 0 : -1;
}

} // namespace RawHttp
