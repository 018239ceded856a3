#include "workflow/progresstext.h"

#include <cmath>

namespace {

QString twoDigits(qint64 value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

} // namespace

QString ProgressText::formatSize(float size, int precision) {
    // A byte count is never negative; refusing it (and NaN) keeps the whole-number cast defined.
    const double x = size >= 0.0f ? double(size) : 0.0;
    if (x < 1024.0)
        return QStringLiteral("%1B").arg(static_cast<qint64>(x));
    const char *unit;
    double v;
    if (x < 1048576.0) {
        unit = "KB";
        v = x / 1024.0;
    } else if (x < 1073741824.0) {
        unit = "MB";
        v = x / 1048576.0;
    } else {
        unit = "GB";
        v = x / 1073741824.0;
    }
    const double scale = std::pow(10.0, precision);
    const double whole = std::floor(v);
    const double rounded = whole + std::floor((v - whole) * scale + 0.5) / scale;
    return QString::number(rounded, 'g', 6) + QLatin1String(unit);
}

// 64-bit so that a huge remaining time at a crawling speed cannot wrap around.
QString ProgressText::formatTime(qint64 seconds) {
    if (seconds < 0)
        seconds = 0;
    return QStringLiteral("%1:%2:%3")
        .arg(twoDigits(seconds / 3600), twoDigits((seconds % 3600) / 60), twoDigits(seconds % 60));
}

qint64 ProgressText::smoothedSpeed(qint64 committed, qint64 lastCommitted, qint64 speed) {
    if (committed < lastCommitted)
        return 0;
    return ((committed - lastCommitted) + 4 * speed) / 5;
}

QString ProgressText::remainingTimeText(qint64 remainingBytes, qint64 speed) {
    if (speed < 1)
        return QStringLiteral("00:00:00");
    return formatTime(qMax<qint64>(0, remainingBytes) / speed);
}
