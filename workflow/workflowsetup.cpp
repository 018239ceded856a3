#include "workflow/workflowsetup.h"

#include "core/buildconstants.h"
#include "platform/platform.h"

WorkflowSetup WorkflowSetup::product() {
    WorkflowSetup setup;
    setup.folder = Platform::launcherDir();
    setup.cdnBaseUrl = ::cdnBaseUrl;
    setup.cdnMirrors = ::cdnMirrorUrls;
    setup.versionFile = ::versionFile;
    setup.launcherVersion = ::launcherVersion;
    setup.releasePublicKey = ::releasePublicKey;
    setup.crashUploadUrl = QUrl(::crashUploadUrl, QUrl::TolerantMode);
    setup.startConfirmMs = ::startConfirmMs;
    setup.startConfirmLimitMs = ::startConfirmLimitMs;
    return setup;
}
