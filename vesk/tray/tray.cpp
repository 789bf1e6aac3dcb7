// Tray start and stop, the tray and icon threads, the hidden window's
// procedure and the settings page.
#include "tray/tray.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <cstdio>

#include "chips/chip.h"
#include "transport/board_transport.h"
#include "tray/resource.h"

namespace vesk {

namespace {

const wchar_t kClassName[] = L"vesktray";
const wchar_t kWindowName[] = L"VeskTrayWnd";
const wchar_t kFirefox[] = L"C:\\Program Files\\Mozilla Firefox\\firefox.exe";

HINSTANCE libraryInstance() { return static_cast<HINSTANCE>(libraryLocation().module); }

// AssocQueryStringW: the string names a protocol ("http"), not a file type.
// (The MinGW headers declare it only for newer Windows targets.)
constexpr ASSOCF kAssocIsProtocol = static_cast<ASSOCF>(0x00001000);

}  // namespace

// ---------------------------------------------------------------- texts

int volumeStepDb(std::uint32_t step) {
    if (step > 33) step = 33;
    if (step <= 12) return -static_cast<int>(step);
    if (step <= 24) return -12 - 2 * static_cast<int>(step - 12);
    if (step <= 32) return -36 - 3 * static_cast<int>(step - 24);
    return -80;
}

bool isDottedQuad(const std::wstring& text) {
    int parts = 0;
    std::size_t i = 0;
    while (true) {
        std::size_t digits = 0;
        unsigned value = 0;
        while (i < text.size() && text[i] >= L'0' && text[i] <= L'9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[i] - L'0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        ++parts;
        if (parts == 4) return i == text.size();
        if (i >= text.size() || text[i] != L'.') return false;
        ++i;
    }
}

std::wstring boardIPv4Text(const VeskBoardInfo& board) {
    wchar_t buf[22] = {};
    std::size_t len = 0;
    // One byte less than the field: a code page gives at most one character
    // per byte, so the text always fits the buffer beside its terminator.
    while (len < sizeof board.boardIPv4 - 1 && board.boardIPv4[len]) ++len;
    if (len) MultiByteToWideChar(CP_OEMCP, 0, board.boardIPv4, static_cast<int>(len), buf, 21);
    return std::wstring(buf);
}

std::string clockMHzText(std::uint32_t clockHz) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(static_cast<float>(clockHz) / 1000000.0f));
    return buf;
}

// ---------------------------------------------------------------- state

Tray::Tray(Manager& m) : manager(m), boardCount(m.boardCount_) {}
Tray::~Tray() = default;

const VeskBoardInfo* Tray::board(std::uint32_t i) const {
    return i < boardCount && manager.boardInfo_ ? &manager.boardInfo_[i] : nullptr;
}

BoardTransport* Tray::transport(std::uint32_t i) const {
    return i < manager.transports_.size() ? manager.transports_[i] : nullptr;
}

std::vector<Chip*> Tray::chipsOf(std::uint32_t b) const {
    std::vector<Chip*> out;
    const VeskBoardInfo* info = board(b);
    if (!info) return out;
    auto it = manager.chipLookup_.find(std::string(info->boardAddress));
    if (it == manager.chipLookup_.end()) return out;
    for (std::uint32_t index : it->second)
        if (index < manager.chips_.size() && manager.chips_[index])
            out.push_back(static_cast<Chip*>(manager.chips_[index]));
    return out;
}

// ---------------------------------------------------------------- start / stop

Tray* startTray(Manager& m) {
    auto tray = std::make_unique<Tray>(m);
    Tray& t = *tray;
    const std::uint32_t n = t.boardCount;
    if (n > 0) {
        t.volumeReadable.reset(new std::uint8_t[n]());
        t.volumeIndex.reset(new std::uint32_t[n]());
        t.lastVolumeChange.reset(new std::chrono::steady_clock::time_point[n]);
        for (std::uint32_t i = 0; i < n; ++i) {
            t.volumeReadable[i] = m.getOutputVolume(m.boardInfo_[i].boardAddress, &t.volumeIndex[i], 0, 0) ? 1 : 0;
            t.lastVolumeChange[i] = std::chrono::steady_clock::now();
        }
        t.boardInfoOpen.reset(new std::atomic<std::uint8_t>[n]);
        for (std::uint32_t i = 0; i < n; ++i) t.boardInfoOpen[i] = 0;
        t.boardInfoWindow.reset(new HWND[n]());
        t.boardInfoThread.reset(new std::thread[n]);
        t.boardInfoRunning.reset(new std::atomic<std::uint8_t>[n]);
        for (std::uint32_t i = 0; i < n; ++i) {
            t.boardInfoRunning[i] = 0;
            const std::uint32_t slots = m.boardInfo_[i].slotCount;
            t.slotColours.emplace_back(new std::atomic<std::uint32_t>[slots ? slots : 1]);
            for (std::uint32_t s = 0; s < slots; ++s) t.slotColours[i][s] = 0;
        }
    }
    InitCommonControls();

    // Thread creation failures propagate as std::system_error.
    m.trayThread_ = std::thread([&t] { t.trayThreadMain(); });
    const auto earliest = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
    {
        std::unique_lock<std::mutex> lock(t.startMutex);
        t.startCv.wait(lock, [&t] { return t.startDone; });
    }
    plat::sleepUntil(earliest);

    m.trayRunning_ = true;
    try {
        m.iconThread_ = std::thread([&t] { t.iconThreadMain(); });
    } catch (...) {
        m.trayRunning_ = false;
        m.tray_ = tray.release();
        stopTray(m.tray_);
        m.tray_ = nullptr;
        throw;
    }
    return tray.release();
}

void stopTray(Tray* tray) {
    if (!tray) return;
    Manager& m = tray->manager;
    m.trayRunning_ = false;
    if (m.iconThread_.joinable()) m.iconThread_.join();

    for (std::uint32_t i = 0; i < tray->iconAdded.size(); ++i)
        if (tray->iconAdded[i]) Shell_NotifyIconW(NIM_DELETE, &tray->trayIcons[i]);

    // The windows belong to the tray thread: only messages cross over.
    for (std::uint32_t i = 0; i < tray->boardCount; ++i)
        if (tray->boardInfoWindow[i]) PostMessageW(tray->boardInfoWindow[i], WM_CLOSE, 0, 0);
    if (HWND dlg = tray->activeDialog) PostMessageW(dlg, WM_CLOSE, 0, 0);
    if (tray->trayWindow) PostMessageW(tray->trayWindow, WM_CLOSE, 0, 0);
    if (m.trayThread_.joinable()) m.trayThread_.join();

    for (std::uint32_t i = 0; i < tray->boardCount; ++i) tray->boardInfoRunning[i] = 0;
    for (std::uint32_t i = 0; i < tray->boardCount; ++i)
        if (tray->boardInfoThread[i].joinable()) tray->boardInfoThread[i].join();
    delete tray;
}

// ---------------------------------------------------------------- threads

void Tray::trayThreadMain() {
    auto signalStarted = [this] {
        std::lock_guard<std::mutex> lock(startMutex);
        startDone = true;
        startCv.notify_all();
    };
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = libraryInstance();
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kClassName;
    ATOM atom = RegisterClassExW(&wc);
    if (!atom) {
        signalStarted();
        return;
    }
    HWND wnd = CreateWindowExW(0, kClassName, kWindowName, 0, 0, 0, 0, 0, nullptr, nullptr, libraryInstance(), this);
    if (!wnd) {
        UnregisterClassW(kClassName, libraryInstance());
        signalStarted();
        return;
    }
    SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    trayWindow = wnd;

    idleIcon = static_cast<HICON>(
        LoadImageW(libraryInstance(), MAKEINTRESOURCEW(IDI_VESK_IDLE), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    busyIcons[0] = static_cast<HICON>(
        LoadImageW(libraryInstance(), MAKEINTRESOURCEW(IDI_VESK_BUSY0), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    busyIcons[1] = static_cast<HICON>(
        LoadImageW(libraryInstance(), MAKEINTRESOURCEW(IDI_VESK_BUSY1), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));

    if (boardCount > 0) {
        trayIcons.assign(boardCount, NOTIFYICONDATAW{});
        iconAdded.assign(boardCount, 0);
        for (std::uint32_t i = 0; i < boardCount; ++i) {
            NOTIFYICONDATAW& rec = trayIcons[i];
            rec.cbSize = sizeof rec;
            rec.hWnd = wnd;
            rec.uID = i;
            rec.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
            rec.uCallbackMessage = kTrayMessage;
            rec.hIcon = idleIcon;
            std::wstring tip = L"Vesk [" + boardIPv4Text(*board(i)) + L"]";
            lstrcpynW(rec.szTip, tip.c_str(), static_cast<int>(sizeof rec.szTip / sizeof rec.szTip[0]));
            iconAdded[i] = Shell_NotifyIconW(NIM_ADD, &rec) ? 1 : 0;
        }
    }
    signalStarted();

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    trayWindow = nullptr;
    UnregisterClassW(kClassName, libraryInstance());
}

void Tray::iconThreadMain() {
    std::vector<std::uint8_t> lastState(boardCount, 0), phase(boardCount, 0);
    do {
        plat::sleepUntil(std::chrono::steady_clock::now() + std::chrono::seconds(1));
        for (std::uint32_t i = 0; i < boardCount; ++i) {
            BoardTransport* t = transport(i);
            const bool sent = t && t->dataSent.exchange(false);
            HICON icon = nullptr;
            if (sent) {
                phase[i] = lastState[i] ? !phase[i] : 0;
                icon = busyIcons[phase[i]];
            } else if (lastState[i]) {
                icon = idleIcon;
            }
            if (icon && i < iconAdded.size() && iconAdded[i]) {
                // Only this thread changes a record once the icons exist.
                trayIcons[i].hIcon = icon;
                Shell_NotifyIconW(NIM_MODIFY, &trayIcons[i]);
            }
            lastState[i] = sent ? 1 : 0;
        }
    } while (manager.trayRunning_);
}

// ---------------------------------------------------------------- window

LRESULT CALLBACK Tray::windowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* tray = reinterpret_cast<Tray*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
    if (!tray) return DefWindowProcW(wnd, msg, wp, lp);
    switch (msg) {
    case WM_CLOSE: DestroyWindow(wnd); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case kTrayMessage: return tray->onNotify(wp, lp);
    default: return DefWindowProcW(wnd, msg, wp, lp);
    }
}

LRESULT Tray::onNotify(WPARAM id, LPARAM mouse) {
    if (mouse == WM_LBUTTONUP) {
        if (id < boardCount) currentBoard = static_cast<std::uint32_t>(id);
        if (currentBoard < boardCount && volumeReadable[currentBoard]) openDialog(IDD_VOLUME, currentBoard);
        return 0;
    }
    if (mouse != WM_RBUTTONUP) return 0;

    SetForegroundWindow(trayWindow);
    if (id < boardCount) currentBoard = static_cast<std::uint32_t>(id);
    // The menu and the dialogs below are for this board: they run message
    // loops of their own, in which another icon's click changes currentBoard.
    const std::uint32_t b = currentBoard;
    HMENU menu = LoadMenuW(libraryInstance(), MAKEINTRESOURCEW(IDR_VESK_MENU));
    if (!menu) return 0;
    if (b >= boardCount || !volumeReadable[b]) EnableMenuItem(menu, IDM_VOLUME, MF_BYCOMMAND | MF_DISABLED | MF_GRAYED);
    POINT pt = {};
    GetCursorPos(&pt);
    const UINT cmd = static_cast<UINT>(
        TrackPopupMenu(GetSubMenu(menu, 0), TPM_RETURNCMD | TPM_NONOTIFY, pt.x, pt.y, 0, trayWindow, nullptr));
    DestroyMenu(menu);
    switch (cmd) {
    case IDM_BOARD_INFO:
        if (b >= boardCount) break;
        if (boardInfoOpen[b]) {
            // Chosen again from inside the open window's own loop.
            if (boardInfoWindow[b]) SetForegroundWindow(boardInfoWindow[b]);
            break;
        }
        boardInfoOpen[b] = 1;
        openDialog(IDD_BOARD_INFO, b);
        boardInfoOpen[b] = 0;
        break;
    case IDM_DELAY: openDialog(IDD_DELAY, b); break;
    case IDM_VOLUME: openDialog(IDD_VOLUME, b); break;
    case IDM_SETTINGS_PAGE: openSettingsPage(); break;
    default: break;
    }
    return 0;
}

void Tray::openSettingsPage() {
    const VeskBoardInfo* info = board(currentBoard);
    const std::wstring ipv4 = info ? boardIPv4Text(*info) : std::wstring();
    if (!isDottedQuad(ipv4)) {
        // The text comes from the board; anything but an address could
        // smuggle options onto the browser's command line.
        plat::messageBox("The board did not report a usable IPv4 address; no settings page is opened.",
                         "Settings page");
        return;
    }
    const std::wstring url = L"http://" + ipv4 + L"/";
    if (GetFileAttributesW(kFirefox) != INVALID_FILE_ATTRIBUTES) {
        ShellExecuteW(nullptr, nullptr, kFirefox, url.c_str(), nullptr, SW_SHOWNORMAL);
        return;
    }
    wchar_t exe[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (AssocQueryStringW(kAssocIsProtocol, ASSOCSTR_EXECUTABLE, L"http", nullptr, exe, &size) == S_OK &&
        wcsstr(exe, L"chrome.exe"))
        MessageBoxW(nullptr, L"chrome では正しく動作しませんが、起動します", L"Warning", MB_OK);
    ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace vesk
