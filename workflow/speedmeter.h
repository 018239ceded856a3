#pragma once

#include <QtGlobal>

// The download speed a page shows, sampled once a refresh from a running count of the bytes taken
// from the network: the bytes of the last refresh smoothed with the speed before,
// (delta + 4 x speed) / 5. The smoothing keeps an old rate for seconds, so a change of the player's
// cap starts the measuring again: the refresh that sees the change and the one after it show their
// own bytes, and the smoothing goes on from there.
class SpeedMeter {
public:
    // Measuring from `bytes` on under `cap` (bytes a second, 0 without one), from a speed of 0: at
    // the start, after a pause, while pieces wait out an outage.
    void restart(qint64 bytes, qint64 cap);
    // The speed after the refresh that counted `bytes` so far under `cap`.
    qint64 sample(qint64 bytes, qint64 cap);
    qint64 speed() const { return current; }

private:
    qint64 last = 0;
    qint64 current = 0;
    qint64 lastCap = 0;
    int unsmoothed = 0; // refreshes still to show their own bytes
};
