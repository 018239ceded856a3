#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>

#include <atomic>

// The player's download speed limit, shared by everything the launcher downloads at the same time
// (the ten piece connections on every host, block maps, the version file, the self-update): one
// token bucket for the process. Readers ask for bytes before they take them out of their reply;
// what they are refused stays in the reply, whose read buffer then fills and lets TCP slow the
// sender down. Each reader that has asked lately has a fair share of the rate; tokens that the
// others leave over (a slow host, a reader between requests) go to whoever asks. Thread-safe:
// piece fetches ask from the network thread, the other downloads from the GUI thread.
class BandwidthCap {
public:
    // How often a reader that was held back asks again.
    static constexpr int TickMs = 20;
    // A reader that asked within this time has its share.
    static constexpr int ActiveMs = 100;
    // The bucket holds this much of the rate: tokens above half of it go to any reader.
    static constexpr int BurstMs = 100;
    // Read buffer of a reply without a cap; with one it is about a tenth of a second of a
    // connection's share, within these bounds.
    static constexpr qint64 UncappedReadBuffer = 512 * 1024;
    static constexpr qint64 MinReadBuffer = 16 * 1024;

    static BandwidthCap &instance();

    // Bytes per second for all downloads together; 0 or less: no cap. Applies at the next ask.
    void setRate(qint64 bytesPerSecond);
    qint64 rate() const { return bytesPerSecond.load(std::memory_order_relaxed); }
    bool isCapped() const { return rate() > 0; }

    // A reader: a reply read a share at a time. detach() when it goes.
    quint64 attach();
    void detach(quint64 reader);
    // How many of `wanted` bytes the reader may take now (all of them without a cap).
    qint64 take(quint64 reader, qint64 wanted);
    // Bytes taken without asking (a reply ending or stopped): they count against the rate later.
    void charge(quint64 reader, qint64 bytes);
    // The read buffer a reply should have now.
    qint64 readBufferSize() const;
    // Bytes readers took (asked for or charged) since the process began, with a cap or without.
    qint64 passedBytes() const { return passed.load(std::memory_order_relaxed); }

    BandwidthCap();

private:
    struct Reader {
        qint64 lastAskUs = -1;
        qint64 creditedUs = -1; // share credited up to this time
        double credit = 0;
    };
    void refill(qint64 nowUs);
    int activeReaders(qint64 nowUs) const;

    std::atomic<qint64> bytesPerSecond{0};
    std::atomic<qint64> passed{0};
    mutable QMutex mutex;
    QElapsedTimer clock;
    QHash<quint64, Reader> readers;
    quint64 lastId = 0;
    double tokens = 0;
    qint64 refilledUs = 0;
};
