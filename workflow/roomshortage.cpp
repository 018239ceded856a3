#include "workflow/roomshortage.h"

#include "workflow/labelargs.h"
#include "workflow/progresstext.h"

namespace RoomShortage {

WorkflowStatus text(qint64 missing, bool again) {
    return WorkflowStatus::text(again ? QStringLiteral("DISK_SPACE_STILL_SHORT")
                                      : QStringLiteral("DISK_SPACE_SHORT"),
                                {LabelArgs::text(ProgressText::formatSize(static_cast<float>(missing), 2))});
}

QJsonObject event(qint64 missing, const QString &file, const QString &reason) {
    QJsonObject shortOfRoom;
    shortOfRoom.insert(QStringLiteral("event"), QStringLiteral("not enough disk space"));
    shortOfRoom.insert(QStringLiteral("missing"), double(missing));
    if (!file.isEmpty())
        shortOfRoom.insert(QStringLiteral("file"), file);
    if (!reason.isEmpty())
        shortOfRoom.insert(QStringLiteral("reason"), reason);
    return shortOfRoom;
}

} // namespace RoomShortage
