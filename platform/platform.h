#pragma once

// The only place that knows the operating system. Windows and Unix implementations live in
// platform_win.cpp / platform_unix.cpp (plus small Qt-free files for the raw Win32 calls).

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QStringList>

#include <functional>

class QFile;
class QObject;

namespace Platform {

// Directory of the running executable: where settings.ini, config.ini, the game and the
// downloaded files live. Tests may point it at a temporary directory.
QString launcherDir();
void setLauncherDirOverride(const QString &dir); // empty text removes the override

// Full path of the running executable (used for the start-at-login value and the single-instance key).
// Not affected by the launcher directory override.
QString launcherExecutablePath();

// Per-user registry values below HKEY_CURRENT_USER, key paths written the Windows way,
// e.g. "HKEY_CURRENT_USER\\SOFTWARE\\Quelvane". On Unix they live in
// $XDG_CONFIG_HOME/Quelvane/registry.ini (default ~/.config), one section per key path whose
// name is the key path itself, backslashes included, followed by "name=value" lines taken
// literally (nothing escaped, nothing trimmed except the line end):
//
//   [HKEY_CURRENT_USER\SOFTWARE\Quelvane]
//   Filename=C:\Games\Quelvane\Quelvane.exe
//
// Key paths and value names compare case-insensitively, as in the registry. A value name must not
// be empty, contain "=" or start with "[" or ";"; a key path must not contain "]" or a line break;
// a value must not contain a line break. Writes that break these rules are refused.
QString registryValue(const QString &keyPath, const QString &name);
QStringList registryValueNames(const QString &keyPath);
bool setRegistryValue(const QString &keyPath, const QString &name, const QString &value);

// Start at login: the "Run" value named `name` ("Quelvane"). On Unix an XDG autostart entry
// $XDG_CONFIG_HOME/autostart/<name>.desktop whose Exec value plays the Run value's role.
QString runValue(const QString &name); // empty when absent
bool setRunValue(const QString &name,
                 const QString &value); // value as stored, e.g. "\"C:\\...\\Kestrivane.exe\""
bool removeRunValue(const QString &name);

// Name of the user running this process; empty if it cannot be found.
QString currentUserName();

// Raw SMBIOS table in the Windows raw-SMBIOS layout: used20CallingMethod, major, minor,
// DMI revision, 32-bit little-endian length, then the structure data. Empty when unreadable.
QByteArray rawSmbiosTable();

// Builds the raw-SMBIOS layout above from a firmware entry point ("_SM_" 2.x or "_SM3_" 3.x, as in
// /sys/firmware/dmi/tables/smbios_entry_point) and the structure table (/sys/firmware/dmi/tables/DMI).
// The length is the table length the entry point declares, cut to the bytes actually present.
// Empty for a malformed entry point or an empty table. Available on every platform.
QByteArray assembleSmbiosTable(const QByteArray &entryPoint, const QByteArray &dmi);

// Whether a process with this id is alive (used to recognise a stale single-instance block).
// Ids below 1 are never alive.
bool processExists(qint64 pid);

// Puts the file `from` in place of `to` in one step, replacing an existing `to`, after the
// contents of `from` have reached the disk. Both in the same folder. False, with the system's
// reason in `why`, when it cannot, also when `from` is not a plain file (see openPlainFile).
bool replaceFile(const QString &from, const QString &to, QString *why = nullptr);

// Puts everything written so far to the plain file at `path` (also through other open handles) on
// the disk, so that it survives a power cut. False when the file cannot be opened or flushed.
bool syncFile(const QString &path);
// Starts writing the given range of an open file to the disk without waiting for it, so that a
// later syncFile finds most of it written. Only advice: where the system has no such call (Windows),
// nothing happens.
void startWriteBack(QFile *file, qint64 offset, qint64 length);

// Opens `file` on the plain file at `path` without following a link: a symbolic link (on Windows
// any reparse point), a file with more than one hard link, a folder, a device or a pipe is refused,
// so that nothing is read or written through a name someone else planted. `mode` is ReadOnly or
// ReadWrite (possibly Unbuffered); ReadWrite creates a missing file and never truncates one.
// False with the reason in `why`.
bool openPlainFile(QFile *file, const QString &path, QIODevice::OpenMode mode, QString *why = nullptr);

// Whether anything is at `path`, a link (even one to nothing) included.
bool entryExists(const QString &path);

// Memory for a large buffer that is filled again and again (a piece buffer). With `whole` (it will be
// filled whole) and where the system can, huge pages back it, so that its first use costs a few page
// faults rather than one per 4 KiB; without, only what is used takes memory. Null when there is no
// memory; give it back with freeBuffer.
char *allocateBuffer(qint64 size, bool whole);
void freeBuffer(char *buffer);
// Called first thing in main. With glibc every thread that allocates under contention gets its own
// heap arena and keeps what it freed there: the download's ten network threads held tens of MiB
// of freed reply data that way. Two arenas serve them as fast. The network layer's read buffers
// (up to half a MiB each, freed as soon as they are read) also stay in the heap instead of being
// mapped, unmapped and zeroed again for every read, which cost several per cent of a download.
// Windows: nothing to do.
void tuneHeap();
// Gives the memory freed after a large piece of work (a download, the unpacking) back to the
// system, which tuneHeap has the heap keep meanwhile. Windows: nothing to do.
void releaseFreedMemory();

// Starts the installation's update script detached: Windows "wscript.exe <dir>\\update.vbs <file>",
// Unix "/bin/sh <dir>/update.sh <file>". newFileName is a bare file name in the launcher directory;
// an empty name or one containing a path separator is refused.
bool startUpdateScript(const QString &scriptDir, const QString &newFileName);

// The game program as given to QProcess::start: "Quelvane.exe" on Windows (found in the working
// directory); on Unix the absolute path of "Quelvane.exe" in the launcher directory, after making
// it executable for its owner if it is not yet.
QString gameProgram();

// When the system ends the user's session (a shutdown or a log-off), calls `handler` once, on the
// GUI thread, while `receiver` lives. Unix: SIGTERM or SIGHUP (a SIGHUP ignored when the watch
// begins, as under nohup, stays ignored). Windows: the end-of-session message, once the system
// has decided; the process may be ended as soon as the handler returns, so the handler puts on the
// disk before it returns whatever must be there. The question before that message is answered yes
// at once, without asking the windows: their close rules (the tray, a confirmation) must not hold
// up the shutdown. Call once, after the application object exists; false (logged) when the session
// cannot be watched.
bool watchSessionEnd(QObject *receiver, std::function<void()> handler);

// Whether the system lets the network interface with this index (QNetworkInterface::index()) take
// part in sharing with the local network; when not, `why` says so. Windows: the adapter is no PPP
// link, tunnel or VPN adapter (its interface type and driver description) and the network it is
// connected to is in the Private or Domain category (Network List Manager); an adapter the system
// does not list, or whose network has no category yet, does not take part. Unix: always (Qt's view
// of the interfaces is all there is).
bool lanAdapterAllowed(int interfaceIndex, QString *why = nullptr);

// Whether peers on the local network can reach this program's listening port: Windows, when the
// firewall holds an enabled inbound rule allowing this executable on private networks (read
// without elevation; the installer's optional elevated step adds one) and none blocking it. Without
// it the launcher listens on no port, so the firewall asks the player nothing. Unix: always.
bool firewallAllowsServing(QString *why = nullptr);

} // namespace Platform
