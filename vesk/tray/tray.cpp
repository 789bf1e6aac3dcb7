// Tray start and stop, the tray and icon threads, the hidden window's
// procedure and the settings page.
#include "tray/tray.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>

#include "chips/chip.h"
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

// ---------------------------------------------------------------- start / stop

Tray::Tray(Manager& m) : manager_(m), boardCount_(m.getBoardCount()) {}

std::unique_ptr<Tray> Tray::start(Manager& m) {
    std::unique_ptr<Tray> tray(new Tray(m));
    Tray& t = *tray;
    const std::uint32_t n = t.boardCount_;
    t.boards_.reset(new BoardState[n ? n : 1]);
    for (std::uint32_t i = 0; i < n; ++i) {
        BoardState& b = t.boards_[i];
        const VeskBoardInfo& record = *m.boardRecord(i);
        b.volumeReadable = m.getOutputVolume(record.boardAddress, &b.volumeIndex, 0, 0) ? 1 : 0;
        b.lastVolumeChange = std::chrono::steady_clock::now();
        const std::uint32_t slots = record.slotCount;
        b.slotColours.reset(new std::atomic<std::uint32_t>[slots ? slots : 1]);
        for (std::uint32_t s = 0; s < slots; ++s) b.slotColours[s] = 0;
    }
    InitCommonControls();

    // Thread creation failures propagate as std::system_error; the
    // destructor then stops what did start.
    t.trayThread_ = std::thread([&t] { t.trayThreadMain(); });
    const auto earliest = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
    {
        std::unique_lock<std::mutex> lock(t.startMutex_);
        t.startCv_.wait(lock, [&t] { return t.startDone_; });
    }
    plat::sleepUntil(earliest);

    {
        std::lock_guard<std::mutex> lock(t.iconMutex_);
        t.running_ = true;
    }
    t.iconThread_ = std::thread([&t] { t.iconThreadMain(); });
    return tray;
}

Tray::~Tray() { stop(); }

void Tray::stopIconThread() {
    {
        std::lock_guard<std::mutex> lock(iconMutex_);
        running_ = false;
    }
    iconCv_.notify_all();
    if (iconThread_.joinable()) iconThread_.join();
}

void Tray::stop() {
    stopIconThread();

    for (std::uint32_t i = 0; i < boardCount_; ++i)
        if (boards_[i].iconAdded) Shell_NotifyIconW(NIM_DELETE, &boards_[i].icon);

    // The windows belong to the tray thread: only messages cross over.
    for (std::uint32_t i = 0; i < boardCount_; ++i)
        if (boards_[i].infoWindow) PostMessageW(boards_[i].infoWindow, WM_CLOSE, 0, 0);
    if (HWND dlg = activeDialog_) PostMessageW(dlg, WM_CLOSE, 0, 0);
    if (trayWindow_) PostMessageW(trayWindow_, WM_CLOSE, 0, 0);
    if (trayThread_.joinable()) trayThread_.join();

    for (std::uint32_t i = 0; i < boardCount_; ++i) boards_[i].infoRunning = 0;
    for (std::uint32_t i = 0; i < boardCount_; ++i)
        if (boards_[i].infoThread.joinable()) boards_[i].infoThread.join();
}

// ---------------------------------------------------------------- threads

void Tray::trayThreadMain() {
    auto signalStarted = [this] {
        std::lock_guard<std::mutex> lock(startMutex_);
        startDone_ = true;
        startCv_.notify_all();
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
    trayWindow_ = wnd;

    idleIcon_ = static_cast<HICON>(
        LoadImageW(libraryInstance(), MAKEINTRESOURCEW(IDI_VESK_IDLE), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    busyIcons_[0] = static_cast<HICON>(
        LoadImageW(libraryInstance(), MAKEINTRESOURCEW(IDI_VESK_BUSY0), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    busyIcons_[1] = static_cast<HICON>(
        LoadImageW(libraryInstance(), MAKEINTRESOURCEW(IDI_VESK_BUSY1), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));

    for (std::uint32_t i = 0; i < boardCount_; ++i) {
        NOTIFYICONDATAW& rec = boards_[i].icon;
        rec.cbSize = sizeof rec;
        rec.hWnd = wnd;
        rec.uID = i;
        rec.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        rec.uCallbackMessage = kTrayMessage;
        rec.hIcon = idleIcon_;
        std::wstring tip = L"Vesk [" + boardIPv4Text(*board(i)) + L"]";
        lstrcpynW(rec.szTip, tip.c_str(), static_cast<int>(sizeof rec.szTip / sizeof rec.szTip[0]));
        boards_[i].iconAdded = Shell_NotifyIconW(NIM_ADD, &rec) ? 1 : 0;
    }
    signalStarted();

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    trayWindow_ = nullptr;
    UnregisterClassW(kClassName, libraryInstance());
}

void Tray::iconThreadMain() {
    std::vector<std::uint8_t> lastState(boardCount_, 0), phase(boardCount_, 0);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(iconMutex_);
            if (iconCv_.wait_for(lock, std::chrono::seconds(1), [this] { return !running_; })) return;
        }
        for (std::uint32_t i = 0; i < boardCount_; ++i) {
            const bool sent = manager_.takeDataSent(i);
            HICON icon = nullptr;
            if (sent) {
                phase[i] = lastState[i] ? !phase[i] : 0;
                icon = busyIcons_[phase[i]];
            } else if (lastState[i]) {
                icon = idleIcon_;
            }
            if (icon && boards_[i].iconAdded) {
                // Only this thread changes a record once the icons exist.
                boards_[i].icon.hIcon = icon;
                Shell_NotifyIconW(NIM_MODIFY, &boards_[i].icon);
            }
            lastState[i] = sent ? 1 : 0;
        }
    }
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
        if (id < boardCount_) currentBoard_ = static_cast<std::uint32_t>(id);
        if (currentBoard_ < boardCount_ && boards_[currentBoard_].volumeReadable) openDialog(IDD_VOLUME, currentBoard_);
        return 0;
    }
    if (mouse != WM_RBUTTONUP) return 0;

    SetForegroundWindow(trayWindow_);
    if (id < boardCount_) currentBoard_ = static_cast<std::uint32_t>(id);
    // The menu and the dialogs below are for this board: they run message
    // loops of their own, in which another icon's click changes currentBoard_.
    const std::uint32_t b = currentBoard_;
    HMENU menu = LoadMenuW(libraryInstance(), MAKEINTRESOURCEW(IDR_VESK_MENU));
    if (!menu) return 0;
    if (b >= boardCount_ || !boards_[b].volumeReadable)
        EnableMenuItem(menu, IDM_VOLUME, MF_BYCOMMAND | MF_DISABLED | MF_GRAYED);
    POINT pt = {};
    GetCursorPos(&pt);
    const UINT cmd = static_cast<UINT>(
        TrackPopupMenu(GetSubMenu(menu, 0), TPM_RETURNCMD | TPM_NONOTIFY, pt.x, pt.y, 0, trayWindow_, nullptr));
    DestroyMenu(menu);
    switch (cmd) {
    case IDM_BOARD_INFO:
        if (b >= boardCount_) break;
        if (boards_[b].infoOpen) {
            // Chosen again from inside the open window's own loop.
            if (boards_[b].infoWindow) SetForegroundWindow(boards_[b].infoWindow);
            break;
        }
        boards_[b].infoOpen = 1;
        openDialog(IDD_BOARD_INFO, b);
        boards_[b].infoOpen = 0;
        break;
    case IDM_DELAY: openDialog(IDD_DELAY, b); break;
    case IDM_VOLUME: openDialog(IDD_VOLUME, b); break;
    case IDM_SETTINGS_PAGE: openSettingsPage(b); break;
    default: break;
    }
    return 0;
}

void Tray::openSettingsPage(std::uint32_t b) {
    const VeskBoardInfo* info = board(b);
    if (!info) return;
    const std::wstring ipv4 = boardIPv4Text(*info);
    if (!isDottedQuad(ipv4)) {
        // The text comes from the board; anything but an address could
        // smuggle options onto the browser's command line.
        const std::string address(info->boardAddress, strnlen(info->boardAddress, sizeof info->boardAddress));
        plat::messageBox("The board " + address + " did not report a usable IPv4 address; no settings page is opened.",
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
