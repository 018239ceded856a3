// Stand-in launcher for the self-update test.
//   --sleep MS   stays alive for MS milliseconds and writes nothing (the old launcher, still running)
//   otherwise    appends "started <argument count>" to started.txt beside itself, says it came up
//                (update.pending becomes update.confirmed) unless no-confirm.txt is beside it, and ends;
//                with hang.txt beside it, it takes that file and first hangs for a minute
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t **argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"--sleep") == 0) {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        return 0;
    }
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 1;
    std::wstring folder(path, n);
    folder.erase(folder.find_last_of(L'\\') + 1);
    const std::wstring file = folder + L"started.txt";
    HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    const std::string line = "started " + std::to_string(argc - 1) + "\r\n";
    DWORD written = 0;
    const BOOL ok = WriteFile(h, line.data(), DWORD(line.size()), &written, nullptr);
    CloseHandle(h);
    if (DeleteFileW((folder + L"hang.txt").c_str()))
        Sleep(60000);
    if (GetFileAttributesW((folder + L"no-confirm.txt").c_str()) == INVALID_FILE_ATTRIBUTES)
        MoveFileW((folder + L"update.pending").c_str(), (folder + L"update.confirmed").c_str());
    return ok && written == line.size() ? 0 : 1;
}
