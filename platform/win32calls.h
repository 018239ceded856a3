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

// Flushes `from` to disk and moves it over `to` (MoveFileExW with replace and write-through).
bool replaceFile(const std::wstring &from, const std::wstring &to);

// Flushes the file's written data to disk (FlushFileBuffers through a handle of its own, sharing
// the file with the handles that write it).
bool flushFile(const std::wstring &path);

} // namespace Win32
