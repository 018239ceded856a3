#include "platform/win32calls.h"

#include <windows.h>

namespace Win32 {

std::vector<unsigned char> rawSmbios() {
    const DWORD provider = (DWORD('R') << 24) | (DWORD('S') << 16) | (DWORD('M') << 8) | DWORD('B');
    // First call asks for the size, the second fetches; the table may change in between, so check.
    const UINT size = GetSystemFirmwareTable(provider, 0, nullptr, 0);
    if (size == 0 || size > (64u << 20))
        return std::vector<unsigned char>();
    std::vector<unsigned char> data(size);
    const UINT got = GetSystemFirmwareTable(provider, 0, data.data(), size);
    if (got == 0 || got > size)
        return std::vector<unsigned char>();
    data.resize(got);
    return data;
}

} // namespace Win32
