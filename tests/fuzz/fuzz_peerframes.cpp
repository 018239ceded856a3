// What a peer sends to the primary over the single-instance socket: any bytes, arriving in pieces.
// The first input byte chooses how the rest is cut into the pieces the reader sees; the rest goes
// through the same reader the primary runs on a peer's local socket. A peer that does not know
// the key is never greeted, nothing is a message before the greeting, every accepted header and
// frame is acknowledged once, and no read ever asks for more than one frame's worth.

#include "fuzz/fuzzcheck.h"
#include "singleinstance/peerframereader.h"

#include <QIODevice>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

const QString Key = QStringLiteral("Yq3Jk0Xv9m6QWmVYq7z0j2pZkQ0H5n1xYb8LrT4cU_e=");

// A peer connection in memory: bytes arrive with feed(), acknowledgements are collected.
class PeerStream : public QIODevice {
public:
    PeerStream() { open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_pending.size() + QIODevice::bytesAvailable(); }

    void feed(const QByteArray &bytes) { m_pending += bytes; }
    qint64 consumed = 0;
    qint64 largestRead = 0;
    QByteArray written;

protected:
    qint64 readData(char *data, qint64 maxSize) override {
        largestRead = std::max(largestRead, maxSize);
        const qint64 n = std::min<qint64>(maxSize, m_pending.size());
        if (n > 0)
            std::memcpy(data, m_pending.constData(), size_t(n));
        m_pending.remove(0, int(n));
        consumed += n;
        return n;
    }
    qint64 writeData(const char *data, qint64 size) override {
        written.append(data, int(size));
        return size;
    }

private:
    QByteArray m_pending;
};

} // namespace

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));
    // 0: everything at once; otherwise pieces of 1..cut bytes in a fixed pattern.
    const unsigned cut = data[0];
    unsigned state = cut;

    PeerStream peer;
    PeerFrameReader reader(Key);
    int greetings = 0;
    int messages = 0;
    qint64 messageBytes = 0;
    bool rejected = false;
    for (int at = 0; at < stream.size() && !rejected;) {
        int piece = stream.size() - at;
        if (cut != 0) {
            state = state * 1103515245u + 12345u;
            piece = std::min<int>(piece, int(1 + (state >> 16) % cut));
        }
        peer.feed(stream.mid(at, piece));
        at += piece;
        for (;;) {
            const PeerFrameReader::Result result = reader.next(&peer);
            if (result == PeerFrameReader::NeedMore)
                break;
            if (result == PeerFrameReader::Rejected) {
                rejected = true;
                break;
            }
            if (result == PeerFrameReader::Greeting) {
                FUZZ_CHECK(greetings == 0 && messages == 0);
                ++greetings;
                // Only a peer that sent the key is greeted: it follows the header and its length.
                const QByteArray key = Key.toLatin1();
                FUZZ_CHECK(stream.mid(8 + 4, key.size()) == key);
                reader.acknowledge(&peer);
            } else {
                FUZZ_CHECK(result == PeerFrameReader::Message);
                FUZZ_CHECK(greetings == 1 && reader.greeted());
                const QByteArray message = reader.takeMessage();
                FUZZ_CHECK(message.size() <= PeerFrameReader::MaxFrameLength);
                ++messages;
                messageBytes += message.size();
            }
        }
    }

    FUZZ_CHECK(peer.largestRead <= PeerFrameReader::MaxFrameLength);
    FUZZ_CHECK(peer.consumed <= stream.size());
    FUZZ_CHECK(messageBytes + 8 * messages <= peer.consumed);
    // One acknowledgement per header and one per frame; a header may still wait for its body.
    const int frames = greetings + messages;
    FUZZ_CHECK(peer.written.count(PeerFrameReader::Ack) == peer.written.size());
    FUZZ_CHECK(peer.written.size() == 2 * frames || peer.written.size() == 2 * frames + 1);
    return 0;
}
