#pragma once

#include <QString>

// The texts and figures of the download pages.
namespace ProgressText {

// Size text: "%1B", "%1KB", "%1MB" or "%1GB" with 1024-based thresholds, rounded to `precision` decimals.
QString formatSize(float size, int precision = 2);
// "hh:mm:ss", each field at least two digits; a negative count reads as 0.
QString formatTime(qint64 seconds);
// Next smoothed download speed in bytes a second: ((committed - lastCommitted) + 4 * speed) / 5,
// truncated; 0 when the committed count went backwards.
qint64 smoothedSpeed(qint64 committed, qint64 lastCommitted, qint64 speed);
// Remaining-time text for formatTime, "00:00:00" while the speed is below 1 byte a second.
QString remainingTimeText(qint64 remainingBytes, qint64 speed);

} // namespace ProgressText
