// vesk_tray: keeps the library loaded and started so that its tray icons,
// menu and dialogs are there without a music player. Windows only.
#include <windows.h>

#include <vesk/vesk.h>

#include <cwchar>
#include <string>

#include "vesk_version.h"

namespace {

// --version: the launcher's version and that of the library beside it. A
// windowed program has no console of its own: the text goes to the output
// it was given (redirected), else to the console it was started from, else
// to a message box.
int showVersion(HMODULE lib) {
    std::string text = std::string("vesk_tray ") + VESK_VERSION_TEXT + "\n";
    auto version = lib ? reinterpret_cast<VeskGetVersionFn>(
                             reinterpret_cast<void*>(GetProcAddress(lib, "getVeskVersion")))
                       : nullptr;
    text += std::string("library vesk.dll ") +
            (!lib ? "(cannot be loaded)"
                  : version ? version() : "(a release before 0.9.0: it does not tell its version)") +
            "\n";
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        if (AttachConsole(ATTACH_PARENT_PROCESS)) out = GetStdHandle(STD_OUTPUT_HANDLE);
    }
    DWORD written = 0;
    if (out == nullptr || out == INVALID_HANDLE_VALUE ||
        !WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        MessageBoxA(nullptr, text.c_str(), "vesk_tray", MB_OK);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = std::wcsrchr(path, L'\\');
    if (!slash) return 0;
    slash[1] = L'\0';
    const std::size_t room = MAX_PATH - static_cast<std::size_t>(slash + 1 - path);
    std::wcsncat(path, L"vesk.dll", room - 1);

    HMODULE lib = LoadLibraryW(path);
    if (commandLine && std::wcscmp(commandLine, L"--version") == 0) {
        const int rc = showVersion(lib);
        if (lib) FreeLibrary(lib);
        return rc;
    }
    if (!lib) {
        MessageBoxW(nullptr, L"DLL load error", L"DLL loading error", MB_OK);
        return -1;
    }
    using GetManager = VeskManager* (*)();
    auto getManager = reinterpret_cast<GetManager>(reinterpret_cast<void*>(GetProcAddress(lib, "getManager")));
    if (!getManager) {
        MessageBoxW(nullptr, L"getManager 取得ミス", L"error", MB_OK);
        FreeLibrary(lib);
        return -1;
    }
    VeskManager* manager = getManager();
    if (!manager) {
        MessageBoxW(nullptr, L"getManager 取得ミス", L"error", MB_OK);
        FreeLibrary(lib);
        return -1;
    }
    manager->init();
    MessageBoxW(nullptr, L"タスクトレイにアイコンを表示しています。OK で終了します", L"Message", MB_OK);
    manager->release();
    FreeLibrary(lib);
    return 0;
}
