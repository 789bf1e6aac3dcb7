// Plays the user in front of message boxes, under Wine: finds every dialog
// box of the session, logs its caption and text (UTF-8, "caption<TAB>text"
// per line, line breaks as "\n") and dismisses it: clicks its OK button
// (ok, the default), clicks the caption's close button (close) or presses
// Esc in it (esc). Runs until killed.
//   box_dismisser.exe <log file> [ok|close|esc]
// Windows-only test tool: it talks to the window manager directly.
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

std::string utf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

FILE* g_log;
std::set<HWND> g_done;
std::wstring g_mode = L"ok";

BOOL CALLBACK visit(HWND hwnd, LPARAM) {
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 64);
    if (std::wstring(cls) != L"#32770" || !IsWindowVisible(hwnd) || g_done.count(hwnd)) return TRUE;
    wchar_t caption[256] = {}, text[1024] = {};
    GetWindowTextW(hwnd, caption, 256);
    GetDlgItemTextW(hwnd, 0xFFFF, text, 1024);  // a message box's static text
    // One line per box: line breaks of the text are written as "\n".
    std::string body;
    for (char c : utf8(text)) {
        if (c == '\r') continue;
        body += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    std::fprintf(g_log, "%s\t%s\n", utf8(caption).c_str(), body.c_str());
    std::fflush(g_log);
    g_done.insert(hwnd);
    HWND ok = GetDlgItem(hwnd, IDOK);
    if (g_mode == L"close") {
        PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (g_mode == L"esc") {
        PostMessageW(ok ? ok : hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageW(ok ? ok : hwnd, WM_KEYUP, VK_ESCAPE, 0);
    } else if (ok) {
        PostMessageW(ok, BM_CLICK, 0, 0);
    } else {
        PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    g_log = _wfopen(argv[1], L"ab");
    if (!g_log) return 2;
    if (argc > 2) g_mode = argv[2];
    for (;;) {
        EnumWindows(visit, 0);
        Sleep(50);
    }
}
