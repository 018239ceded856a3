#pragma once

#include <QByteArray>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

// The game's crash-archive contract: after a crash it leaves one "*.zip" in this folder.
QString crashInfoDir(); // Platform::launcherDir() + "/crash_info"

// The only "*.zip" file (no folder, no hidden or system file) in crashDir; empty when there is none
// or more than one, the launcher never chooses among several archives.
QString findCrashArchive(const QString &crashDir);

// Identifier sent as "crash_guid": the name's text before its dot when it has exactly one dot, else empty.
QByteArray crashGuid(const QString &archiveName);

// MD5 of a file's contents as 32 lowercase hex digits, read in blocks; empty when it cannot be read.
QByteArray fileMd5Hex(const QString &path);

// Posts the crash archive crashDir/archiveName as a six-part multipart form to crashUploadUrl with a
// 3000 ms transfer timeout. The archive is streamed from disk. The caller owns the reply, which owns
// the form and the file.
QNetworkReply *postCrashReport(QNetworkAccessManager *nam, const QString &crashDir,
                               const QString &archiveName, const QByteArray &gclid,
                               const QByteArray &deviceId, const QString &description);

// Same, to an explicit endpoint.
QNetworkReply *postCrashReport(QNetworkAccessManager *nam, const QUrl &url, const QString &crashDir,
                               const QString &archiveName, const QByteArray &gclid,
                               const QByteArray &deviceId, const QString &description);
