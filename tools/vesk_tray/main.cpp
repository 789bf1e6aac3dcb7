// vesk_tray: keeps the library loaded and started so that its tray icons,
// menu and dialogs are there without a music player. Windows only.
#include <windows.h>

#include <vesk/vesk.h>

#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = std::wcsrchr(path, L'\\');
    if (!slash) return 0;
    slash[1] = L'\0';
    const std::size_t room = MAX_PATH - static_cast<std::size_t>(slash + 1 - path);
    std::wcsncat(path, L"vesk.dll", room - 1);

    HMODULE lib = LoadLibraryW(path);
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
