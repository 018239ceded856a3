#include "platform/win32calls.h"

#include <windows.h>

namespace Win32 {

std::wstring userName() {
    wchar_t buffer[257];
    DWORD size = 257;
    if (!GetUserNameW(buffer, &size) || size == 0)
        return std::wstring();
    // size counts the terminating NUL.
    return std::wstring(buffer, size - 1);
}

} // namespace Win32
