#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// The launcher's own line in the version file: the self-update fetches it, never the game's download.
inline constexpr char LauncherFileName[] = "Kestrivane.exe";

// What the workflow is given: its folder, its endpoints and versions, and every delay and time
// limit, so that a test can run it against its own server without waiting on the product's timers.
struct WorkflowSetup {
    QString folder; // the launcher's folder: config.ini, the game's files, crash_info
    QString cdnBaseUrl;
    // Further CDN hosts laid out like cdnBaseUrl, asked when it fails (empty: the one CDN).
    QStringList cdnMirrors;
    QString versionFile;
    QString launcherVersion;
    QString releasePublicKey; // empty: version files are not verified
    QUrl logUrl;              // empty: the build's
    QUrl crashUploadUrl;

    int versionRetryMs = 500; // before each version-file request
    // A list and a signature of two publications (a cache holding one of them): the host is asked
    // again once, this much later, before it counts as failed.
    int signatureRetryMs = 3000;
    int gamePageMs = 500;        // from a check that needs no self-update to the game page
    int speedTickMs = 1000;      // download page refresh
    int verifyRefreshMs = 200;   // hash progress refresh (--verify)
    int gameExitMs = 1000;       // from the game's end to its handling
    int closeAfterGameMs = 2000; // from the handling to closing, when the window is not shown again
    // After a final error the run is tried again by itself: first after this pause, then after
    // twice the last one, up to the longest.
    int failedRetryMs = 30000;
    int failedRetryMaxMs = 600000;
    // Inactivity limits: no byte for this long fails the request like a network error.
    int versionFileTimeoutMs = 15000;
    int launcherFileTimeoutMs = 30000;
    int pieceTimeoutMs = 30000;
    // A piece that fails while the network or the CDN is away is asked for again after pauses
    // growing from the first to the longest, until the total has passed without a byte.
    int pieceRetryFirstMs = 1000;
    int pieceRetryMaxMs = 30000;
    int pieceRetryTotalMs = 120000;
    // The coming release's list is first asked for this long after the game is ready (-1: never).
    int preloadDelayMs = 1000;
    // While the game is ready the coming release's list is asked for again this often, and after a
    // pre-download that failed or got no answer this soon.
    int preloadCheckMs = 30 * 60 * 1000;
    int preloadRetryMs = 60 * 1000;
    // A launcher started by the update script confirms that it came up this long after its window
    // first showed, once its version check has ended too, and this long after at the most.
    int startConfirmMs = 10000;
    int startConfirmLimitMs = 60000;

    // The product's: the build constants and the launcher's own folder.
    static WorkflowSetup product();
};
