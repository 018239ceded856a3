#pragma once

#include "workflow/workflowstatus.h"

#include <QJsonObject>
#include <QString>

// Whether a download the launcher would start by itself waits for the player, because the
// connection is metered: unless the user's "download_on_metered" setting lets it go, or the player
// chose to download anyway in this launcher run (the choice holds until the launcher ends). The
// version file and its signature are small and never wait; the game's update, the launcher's own
// and the pre-download do.
class MeteredWait {
public:
    // Asks the platform each time: a player who moves from a hotspot to a home line starts the next
    // download without waiting.
    bool holds() const;
    void allow() { allowed = true; }

    // The page's line `key`: its arguments are `before`, then the size of what waits.
    static WorkflowStatus line(const QString &key, qint64 bytes, const QList<LabelArg> &before = {});
    // The event "download waiting metered": which download (`what`) and the bytes waiting.
    static QJsonObject event(const QString &what, qint64 bytes);

private:
    bool allowed = false;
};
