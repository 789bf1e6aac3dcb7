// Stands in for a browser: appends its command line (UTF-8, one line) to
// the file named by VESK_BROWSER_LOG and exits.
#include <windows.h>

#include <cstdio>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t logPath[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"VESK_BROWSER_LOG", logPath, MAX_PATH)) return 2;
    char line[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, line, sizeof line - 1, nullptr, nullptr);
    FILE* f = _wfopen(logPath, L"ab");
    if (!f) return 2;
    std::fprintf(f, "%s\n", line);
    std::fclose(f);
    return 0;
}
