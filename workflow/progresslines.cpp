#include "workflow/progresslines.h"

#include "workflow/labelargs.h"
#include "workflow/progresstext.h"

namespace {

QString sizeText(qint64 bytes) {
    return ProgressText::formatSize(static_cast<float>(bytes), 2);
}

} // namespace

float ProgressLines::percentOf(qint64 done) const {
    // Nothing to fetch (0 bytes) shows 0 % rather than a division by zero.
    return whole > 0 ? static_cast<float>(double(done) * 100.0 / double(whole)) : 0.0f;
}

QList<LabelArg> ProgressLines::figures(qint64 done) const {
    return {LabelArgs::number(static_cast<int>(percentOf(done))), LabelArgs::text(sizeText(done)),
            LabelArgs::text(sizeText(whole))};
}

WorkflowStatus ProgressLines::line(const QString &key, qint64 done) const {
    return WorkflowStatus::text(key, figures(done));
}

QPair<WorkflowStatus, float> ProgressLines::pausedProgress(qint64 done) const {
    return {line(QStringLiteral("DOWNLOAD_PAUSED_TIP"), done), percentOf(done)};
}

WorkflowStatus ProgressLines::timeLine(qint64 done, qint64 speed) const {
    return WorkflowStatus::text(QStringLiteral("ESTIMATED_TIME_TIP"),
                                {LabelArgs::text(ProgressText::remainingTimeText(whole - done, speed))});
}

WorkflowStatus ProgressLines::speedLine(qint64 speed) {
    return WorkflowStatus::text(QStringLiteral("DOWNLOADING_SPEED_TIP"), {LabelArgs::text(sizeText(speed))});
}
