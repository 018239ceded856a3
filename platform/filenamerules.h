#pragma once

#include <QString>

// Which names the launcher accepts for files it creates in its directory, from the CDN's version
// file or from the entries of a downloaded archive. One set of rules for both, so a name that
// could not be listed cannot be unpacked either:
// - relative, no drive letter or stream (':'), no backslash, no control character (NUL, CR, LF ...);
// - no segment that is only dots and spaces ("..", "..."): Windows drops trailing dots and spaces;
// - no segment ending in a dot or a space ("res.zip."), which Windows would store under another name;
// - no Windows device name, whatever the extension ("NUL", "com1.txt", "CONIN$", "LPT¹");
// - not one of the launcher's own files in its directory ("config.ini", "settings.ini",
//   "update.vbs", "update.sh", the update scripts' marks and the previous launcher they keep),
//   compared without case as Windows does.
class FileNameRules {
public:
    // One file name in the launcher directory (no '/').
    static bool isSafeFileName(const QString &name);
    // A path below the launcher directory with '/' separators, as in a zip entry; a trailing '/'
    // names a folder.
    static bool isSafeEntryName(const QString &path);
    // A safe entry name as it installs: without "." segments and doubled separators ("./a//b" is
    // "a/b"); a folder keeps its trailing '/'.
    static QString normalizedEntryName(const QString &path);
    // "./" or ".": the entry archives made of a whole folder ("tar -cf x.zip -C dir .") list for
    // the folder itself. Not a safe entry name: it names no file, so it installs nothing.
    static bool isFolderItself(const QString &path);
    // Whether a single name is one of the launcher's own files.
    static bool isLauncherOwnedName(const QString &name);
    // A refused name as it may go into a log line or a reason: quoted, control characters shown as '?'.
    static QString printable(QString name);
};
