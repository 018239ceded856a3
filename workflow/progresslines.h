#pragma once

#include "i18n/labelarg.h"
#include "workflow/workflowstatus.h"

#include <QList>
#include <QPair>
#include <QString>

// The figures of the game page while the update downloads, against the update's bytes (the files
// this run fetches and those an earlier launcher run finished): the bar's share, the line with the
// percentage and the bytes, the time left and the speed.
class ProgressLines {
public:
    explicit ProgressLines(qint64 whole)
        : whole(whole) {}

    float percentOf(qint64 done) const;
    // The percentage, the bytes done and the update's bytes.
    QList<LabelArg> figures(qint64 done) const;
    // The game line `key` with the figures.
    WorkflowStatus line(const QString &key, qint64 done) const;
    // The paused line and the bar's share.
    QPair<WorkflowStatus, float> pausedProgress(qint64 done) const;
    WorkflowStatus timeLine(qint64 done, qint64 speed) const;
    static WorkflowStatus speedLine(qint64 speed);

private:
    qint64 whole;
};
