#include "workflow/meteredwait.h"

#include "platform/platform.h"
#include "settings/globalsettings.h"
#include "workflow/labelargs.h"
#include "workflow/progresstext.h"

bool MeteredWait::holds() const {
    if (allowed || GlobalSettings::instance()->value(DownloadOnMetered) == 1)
        return false;
    return Platform::connectionMetered();
}

WorkflowStatus MeteredWait::line(const QString &key, qint64 bytes, const QList<LabelArg> &before) {
    return WorkflowStatus::text(key, before + QList<LabelArg>{LabelArgs::text(
                                                  ProgressText::formatSize(float(qMax<qint64>(0, bytes))))});
}

QJsonObject MeteredWait::event(const QString &what, qint64 bytes) {
    QJsonObject waiting;
    waiting.insert(QStringLiteral("event"), QStringLiteral("download waiting metered"));
    waiting.insert(QStringLiteral("download"), what);
    waiting.insert(QStringLiteral("bytes"), double(qMax<qint64>(0, bytes)));
    return waiting;
}
