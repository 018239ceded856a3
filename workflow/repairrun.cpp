#include "workflow/repairrun.h"

#include "workflow/labelargs.h"

void RepairRun::verified(int files, int damaged, qint64 passedBytes) {
    checked = files;
    repaired = damaged;
    passedAtStart = passedBytes;
}

WorkflowStatus RepairRun::closingLine(qint64 passedBytes) const {
    const qint64 fetched = qMax<qint64>(0, passedBytes - passedAtStart);
    if (repaired == 0)
        return WorkflowStatus::text(QStringLiteral("VERIFY_ALL_SOUND"), {LabelArgs::count(checked)});
    if (repaired == 1)
        return WorkflowStatus::text(QStringLiteral("VERIFY_REPAIRED_ONE"), {LabelArgs::size(fetched)});
    return WorkflowStatus::text(QStringLiteral("VERIFY_REPAIRED"),
                                {LabelArgs::count(repaired), LabelArgs::size(fetched)});
}
