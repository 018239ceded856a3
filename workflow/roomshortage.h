#pragma once

#include "workflow/workflowstatus.h"

#include <QJsonObject>
#include <QString>

// What the game page shows and reports when the launcher's disk lacks room: before fetching the
// update, and before (or while) unpacking an archive. KEEP UPDATE then checks again.
namespace RoomShortage {

// The game line: "DISK_SPACE_SHORT" with the size still lacking; `again`: the player made room and
// asked to go on, and it is still short ("DISK_SPACE_STILL_SHORT").
WorkflowStatus text(qint64 missing, bool again = false);

// The line below the bar: the folder that lacks the room ("DISK_SPACE_FOLDER"), as the player's
// system writes it; a long one is cut in the middle so that the line holds it.
WorkflowStatus folderText(const QString &folder);

// The event "not enough disk space" with "missing" (bytes); "file" and "reason" when given.
QJsonObject event(qint64 missing, const QString &file = QString(), const QString &reason = QString());

} // namespace RoomShortage
