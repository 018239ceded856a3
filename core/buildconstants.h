#pragma once

#include <QString>
#include <QStringList>

// Compiled-in configuration. Every URL the launcher talks to is derived from these.
// The product fills them from CMake cache variables; test executables link a variant
// that may take them from the environment (see buildconstants_env.cpp).
extern const QString cdnBaseUrl; // "http://<cdn host>/sea/win_update/"
// Further CDN hosts with the same path layout, tried after cdnBaseUrl; empty unless the build lists some.
extern const QStringList cdnMirrorUrls;
extern const QString buildMode;       // "" in this build
extern const QString logUrl;          // "http://<log host>/c_bq_log/bq_log"
extern const QString launcherVersion; // "0.11"
extern const QString versionFile;     // "version3.txt"
extern const QString crashUploadUrl;  // "http://<ipv4>:8329/api/crash-logs"
// minisign public key (one-line base64) of the publisher; empty when releases are not verified.
extern const QString releasePublicKey;
// How long after its window first showed a launcher started by the update script confirms that it
// came up (also waiting for its version check), and the longest it waits (10 s and 60 s).
extern const int startConfirmMs;
extern const int startConfirmLimitMs;
