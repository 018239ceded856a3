#include "download/bandwidthcap.h"

#include <QMutexLocker>

BandwidthCap::BandwidthCap() {
    clock.start();
}

BandwidthCap &BandwidthCap::instance() {
    static BandwidthCap cap;
    return cap;
}

void BandwidthCap::setRate(qint64 perSecond) {
    QMutexLocker lock(&mutex);
    const qint64 now = clock.nsecsElapsed() / 1000;
    refill(now);
    bytesPerSecond.store(qMax<qint64>(0, perSecond), std::memory_order_relaxed);
    // What was saved up under the old rate is no burst under the new one.
    const double capacity = double(rate()) * BurstMs / 1000.0;
    if (tokens > capacity)
        tokens = capacity;
    for (Reader &r : readers) {
        r.credit = qMin(r.credit, capacity);
        r.creditedUs = now;
    }
}

quint64 BandwidthCap::attach() {
    QMutexLocker lock(&mutex);
    readers.insert(++lastId, Reader());
    return lastId;
}

void BandwidthCap::detach(quint64 reader) {
    QMutexLocker lock(&mutex);
    readers.remove(reader);
}

void BandwidthCap::refill(qint64 nowUs) {
    const qint64 perSecond = rate();
    const double capacity = double(perSecond) * BurstMs / 1000.0;
    tokens = qMin(capacity, tokens + double(perSecond) * double(nowUs - refilledUs) / 1e6);
    refilledUs = nowUs;
}

int BandwidthCap::activeReaders(qint64 nowUs) const {
    int n = 0;
    for (const Reader &r : readers) {
        if (r.lastAskUs >= 0 && nowUs - r.lastAskUs <= ActiveMs * 1000)
            ++n;
    }
    return qMax(1, n);
}

qint64 BandwidthCap::take(quint64 id, qint64 wanted) {
    if (wanted <= 0)
        return 0;
    if (!isCapped()) {
        passed.fetch_add(wanted, std::memory_order_relaxed);
        return wanted;
    }
    QMutexLocker lock(&mutex);
    const qint64 perSecond = rate();
    if (perSecond <= 0) {
        passed.fetch_add(wanted, std::memory_order_relaxed);
        return wanted;
    }
    const qint64 now = clock.nsecsElapsed() / 1000;
    refill(now);
    auto it = readers.find(id);
    if (it == readers.end())
        it = readers.insert(id, Reader());
    Reader &r = *it;
    r.lastAskUs = now;
    const double share = double(perSecond) / activeReaders(now);
    if (r.creditedUs >= 0)
        r.credit += share * double(now - r.creditedUs) / 1e6;
    r.creditedUs = now;
    // A reader that did not ask for a while saves up no more than a burst of its share.
    r.credit = qMin(r.credit, share * BurstMs / 1000.0);
    // Tokens beyond half the bucket are left over by the others: anyone may have them.
    const double spare = tokens - double(perSecond) * BurstMs / 2000.0;
    const double allowed = qMin(tokens, qMax(r.credit, spare));
    const qint64 granted = qBound<qint64>(0, qint64(allowed), wanted);
    tokens -= double(granted);
    r.credit = qMax(0.0, r.credit - double(granted));
    passed.fetch_add(granted, std::memory_order_relaxed);
    return granted;
}

void BandwidthCap::charge(quint64 id, qint64 bytes) {
    if (bytes <= 0)
        return;
    passed.fetch_add(bytes, std::memory_order_relaxed);
    if (!isCapped())
        return;
    QMutexLocker lock(&mutex);
    refill(clock.nsecsElapsed() / 1000);
    // A debt: the next asks wait until the rate has paid for these bytes.
    tokens -= double(bytes);
    auto it = readers.find(id);
    if (it != readers.end())
        it->credit = qMax(0.0, it->credit - double(bytes));
}

qint64 BandwidthCap::readBufferSize() const {
    const qint64 perSecond = rate();
    if (perSecond <= 0)
        return UncappedReadBuffer;
    // A tenth of a second of one of ten connections.
    return qBound(MinReadBuffer, perSecond / 100, UncappedReadBuffer);
}
