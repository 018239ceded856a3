// Upload of the crash archive the game left behind.
#include "launcher/launcherupdater.h"

#include "crash/crashreporter.h"
#include "workflow/crashupload.h"

QNetworkReply *LauncherUpdater::uploadCrashReport(const QString &archiveName, const QString &description) {
    return postCrashReport(networkManager, crashInfoDir(), archiveName, gclid.toUtf8(), deviceId.toUtf8(),
                           description.left(CrashReporter::maxDescriptionLength));
}
