#include "workflow/roomshortage.h"

#include "workflow/labelargs.h"
#include "workflow/progresstext.h"

#include <QDir>

namespace RoomShortage {

WorkflowStatus text(qint64 missing, bool again) {
    return WorkflowStatus::text(again ? QStringLiteral("DISK_SPACE_STILL_SHORT")
                                      : QStringLiteral("DISK_SPACE_SHORT"),
                                {LabelArgs::text(ProgressText::formatSize(static_cast<float>(missing), 2))});
}

WorkflowStatus folderText(const QString &folder) {
    // What the line below the bar holds beside the longest wording, for a folder of common letters:
    // the start (the drive) and the end (the game's own folders) say where it is.
    constexpr int MaxChars = 40;
    constexpr int HeadChars = 10;
    QString shown = QDir::toNativeSeparators(QDir::cleanPath(folder));
    if (shown.size() > MaxChars)
        shown = shown.left(HeadChars) + QLatin1String("...") + shown.right(MaxChars - HeadChars - 3);
    return WorkflowStatus::text(QStringLiteral("DISK_SPACE_FOLDER"), {LabelArgs::text(shown)});
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
