#include "workflow/speedmeter.h"

#include "workflow/progresstext.h"

void SpeedMeter::restart(qint64 bytes, qint64 cap) {
    last = bytes;
    lastCap = cap;
    current = 0;
    unsmoothed = 0;
}

qint64 SpeedMeter::sample(qint64 bytes, qint64 cap) {
    if (cap != lastCap) {
        // The refresh that sees the change still holds bytes of the old rate; the next holds none.
        lastCap = cap;
        unsmoothed = 2;
    }
    if (unsmoothed > 0) {
        --unsmoothed;
        current = qMax<qint64>(0, bytes - last);
    } else {
        current = ProgressText::smoothedSpeed(bytes, last, current);
    }
    last = bytes;
    return current;
}
