#include "platform/win32calls.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace Win32 {

bool processAlive(unsigned long pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        // The process exists but belongs to someone we may not query.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD code = 0;
    const BOOL ok = GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return ok && code == STILL_ACTIVE;
}

namespace {

// The handle of the plain file at `path` (see openPlainFile), or INVALID_HANDLE_VALUE.
HANDLE openPlain(const std::wstring &path, DWORD access, DWORD share, DWORD disposition,
                 unsigned long *error) {
    HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return INVALID_HANDLE_VALUE;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD refused = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & refused) != 0 || info.nNumberOfLinks != 1) {
        CloseHandle(file);
        *error = ERROR_CANT_ACCESS_FILE;
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

} // namespace

bool replaceFile(const std::wstring &from, const std::wstring &to, unsigned long *error) {
    HANDLE file = openPlain(from, GENERIC_WRITE, 0, OPEN_EXISTING, error);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const BOOL flushed = FlushFileBuffers(file);
    if (!flushed)
        *error = GetLastError();
    CloseHandle(file);
    if (!flushed)
        return false;
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = GetLastError();
        return false;
    }
    return true;
}

int openPlainFile(const std::wstring &path, bool write, unsigned long *error) {
    HANDLE file = openPlain(path, write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, write ? OPEN_ALWAYS : OPEN_EXISTING, error);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    const int fd =
        _open_osfhandle(reinterpret_cast<intptr_t>(file), (write ? _O_RDWR : _O_RDONLY) | _O_BINARY);
    if (fd < 0) {
        *error = ERROR_TOO_MANY_OPEN_FILES;
        CloseHandle(file);
    }
    return fd;
}

void closeFile(int fd) {
    _close(fd);
}

bool entryExists(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool flushFile(const std::wstring &path) {
    unsigned long error = 0;
    HANDLE file = openPlain(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, &error);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const BOOL flushed = FlushFileBuffers(file);
    CloseHandle(file);
    return flushed != FALSE;
}

} // namespace Win32
