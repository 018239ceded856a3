#pragma once

// Thin wrappers around the raw Win32 calls of the platform layer. No Qt here, so these files can be
// compile-checked with the MinGW cross compiler (tools/check-win32-platform.sh).

#include <string>
#include <vector>

namespace Win32 {

// GetUserNameW into a buffer of 257 units (UNLEN + 1); empty on failure.
std::wstring userName();

// GetSystemFirmwareTable('RSMB', 0): the raw SMBIOS data including its 8-byte header; empty on failure.
std::vector<unsigned char> rawSmbios();

// Whether the process exists and has not exited yet.
bool processAlive(unsigned long pid);

// Flushes `from` to disk and moves it over `to` (MoveFileExW with replace and write-through). `from`
// must be a plain file (as openPlainFile); false with the Win32 error code in *error.
bool replaceFile(const std::wstring &from, const std::wstring &to, unsigned long *error);

// Opens the file itself, never what a reparse point (symbolic link, junction) leads to, and accepts
// only a plain disk file with a single link: a C runtime descriptor (binary mode), or -1 with the
// Win32 error code in *error. `write` opens it for reading and writing, creating it if missing.
int openPlainFile(const std::wstring &path, bool write, unsigned long *error);

// Closes a descriptor of openPlainFile that was not handed on.
void closeFile(int fd);

// Whether anything is at `path` (a reparse point is not followed).
bool entryExists(const std::wstring &path);

// Flushes the file's written data to disk (FlushFileBuffers through a handle of its own, sharing
// the file with the handles that write it).
bool flushFile(const std::wstring &path);

// What a window message (a MSG) says about the end of the session: the question whether it may
// end (WM_QUERYENDSESSION), or that it ends now (WM_ENDSESSION with a true wParam).
enum class SessionMessage { Other, Query, Ending };
SessionMessage sessionMessage(const void *message);

// A network adapter as GetAdaptersAddresses and the Network List Manager see it.
struct NetworkAdapter {
    unsigned long index = 0;     // IPv4 interface index (0 when IPv4 is off on it)
    unsigned long ipv6Index = 0; // IPv6 interface index
    unsigned long ifType = 0;    // IANA interface type (IF_TYPE_*)
    std::wstring description;    // the driver's description, e.g. "TAP-Windows Adapter V9"
    // Category of the network it is connected to: 0 Public, 1 Private, 2 Domain; -1 not known (not
    // connected, or the Network List Manager could not be asked).
    int category = -1;
};
std::vector<NetworkAdapter> networkAdapters();

// Whether the firewall has an enabled inbound rule allowing `program` (TCP or any protocol, on the
// Private or Domain profile) and no enabled inbound rule blocking it there. Read through
// INetFwPolicy2 without elevation; false when the rules cannot be read.
bool firewallAllowsInbound(const std::wstring &program);

} // namespace Win32
