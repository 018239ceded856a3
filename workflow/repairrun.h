#pragma once

#include "workflow/workflowstatus.h"

#include <QtGlobal>

// A repair the player asked for from the window: the installed files are hashed, the damaged ones
// fetched again, and the page ends with what it found, the bytes it fetched for it beside a repair.
class RepairRun {
public:
    // The files were hashed; the bytes taken from the network are counted from here.
    void verified(int files, int damaged, qint64 passedBytes);
    // The closing line once the game is ready again, with the bytes passed since verified().
    WorkflowStatus closingLine(qint64 passedBytes) const;

private:
    int checked = 0;
    int repaired = 0;
    qint64 passedAtStart = 0;
};
