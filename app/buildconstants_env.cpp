// Test variant of the build constants: each one may be replaced through an environment variable,
// read once before main, so a test can point the launcher at servers on ports it picked.
#include "buildconstants_defaults.h"
#include "core/buildconstants.h"

#include <QByteArray>

static QString fromEnv(const char *name, const char *fallback) {
    const QByteArray value = qgetenv(name);
    return QString::fromUtf8(value.isNull() ? QByteArray(fallback) : value);
}

static int msFromEnv(const char *name, int fallback) {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value >= 0 ? value : fallback;
}

const QString cdnBaseUrl = fromEnv("KESTRIVANE_TEST_CDN_BASE_URL", KV_DEFAULT_CDN_BASE_URL);
// KESTRIVANE_TEST_CDN_MIRRORS: space-separated base URLs of the further CDN hosts.
const QStringList cdnMirrorUrls = fromEnv("KESTRIVANE_TEST_CDN_MIRRORS", KV_DEFAULT_CDN_MIRROR_URLS)
                                      .split(QLatin1Char(' '), Qt::SkipEmptyParts);
const QString buildMode = fromEnv("KESTRIVANE_TEST_BUILD_MODE", KV_DEFAULT_BUILD_MODE);
const QString logUrl = fromEnv("KESTRIVANE_TEST_LOG_URL", KV_DEFAULT_LOG_URL);
const QString launcherVersion = fromEnv("KESTRIVANE_TEST_LAUNCHER_VERSION", KV_DEFAULT_LAUNCHER_VERSION);
const QString versionFile = QStringLiteral("version3.txt");
const QString crashUploadUrl = fromEnv("KESTRIVANE_TEST_CRASH_UPLOAD_URL", KV_DEFAULT_CRASH_UPLOAD_URL);
// Not taken from the build: a test build configured with a key would otherwise refuse every
// unsigned version file of the tests that do not set one.
const QString releasePublicKey = fromEnv("KESTRIVANE_TEST_RELEASE_PUBLIC_KEY", "");
// Shorter waits before a started launcher confirms that it came up.
const int startConfirmMs = msFromEnv("KESTRIVANE_TEST_START_CONFIRM_MS", 10000);
const int startConfirmLimitMs = msFromEnv("KESTRIVANE_TEST_START_CONFIRM_LIMIT_MS", 60000);
