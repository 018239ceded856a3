// Plays the system's part at the end of a session for one process: every top-level window of it
// is asked WM_QUERYENDSESSION; when each answered yes, each gets WM_ENDSESSION.
//   kv_win32_sessionend PID shutdown   WM_ENDSESSION with wParam TRUE, lParam 0
//   kv_win32_sessionend PID logoff     WM_ENDSESSION with wParam TRUE, lParam ENDSESSION_LOGOFF
//   kv_win32_sessionend PID cancelled  WM_ENDSESSION with wParam FALSE: another program refused,
//                                      the session goes on
//   kv_win32_sessionend --probe        whether this session can show a window at all (wine needs
//                                      a display for it)
// Prints what happened on one line. Exit code 0: the process was asked and said yes, and the end
// was sent; 1: bad arguments or no window could be made; 2: the process has no top-level window;
// 3: a window said no or did not answer within 10 s.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Search {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK collect(HWND window, LPARAM param) {
    auto *search = reinterpret_cast<Search *>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId)
        search->windows.push_back(window);
    return TRUE;
}

int probe() {
    const HWND window = CreateWindowExW(0, L"STATIC", L"probe", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr,
                                        nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!window) {
        std::printf("no window: %lu\n", GetLastError());
        return 1;
    }
    DestroyWindow(window);
    std::printf("windows can be shown\n");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"--probe") == 0)
        return probe();
    if (argc != 3)
        return 1;
    const std::wstring mode = argv[2];
    if (mode != L"shutdown" && mode != L"logoff" && mode != L"cancelled")
        return 1;
    Search search{static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10)), {}};
    EnumWindows(collect, reinterpret_cast<LPARAM>(&search));
    if (search.windows.empty()) {
        std::printf("no top-level window of process %lu\n", search.processId);
        return 2;
    }
    const LPARAM reason = mode == L"logoff" ? ENDSESSION_LOGOFF : 0;
    const WPARAM ending = mode == L"cancelled" ? FALSE : TRUE;
    for (const HWND window : search.windows) {
        DWORD_PTR answer = 0;
        if (!SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, reason, SMTO_ABORTIFHUNG, 10000, &answer) ||
            answer == 0) {
            std::printf("window %p of %zu refused the end of the session\n", static_cast<void *>(window),
                        search.windows.size());
            return 3;
        }
    }
    // The answers to the end itself mean nothing: the process may be leaving (its windows going)
    // while later ones are sent.
    for (const HWND window : search.windows)
        SendMessageTimeoutW(window, WM_ENDSESSION, ending, reason, SMTO_ABORTIFHUNG, 10000, nullptr);
    std::printf("%zu windows asked and told (%ls)\n", search.windows.size(), mode.c_str());
    return 0;
}
