// Upload of the crash archive the game left behind.
#include "launcher/launcherupdater.h"

QNetworkReply *LauncherUpdater::uploadCrashReport(const QString &archiveName, const QString &description) {
    Q_UNUSED(archiveName);
    Q_UNUSED(description);
    return nullptr;
}
