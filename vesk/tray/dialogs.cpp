// The delay, output volume and board information dialogs, and the board
// information window's monitor thread. All dialogs run on the tray thread.
#include "tray/tray.h"

#include <commctrl.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "chips/chip.h"
#include "tray/resource.h"

namespace vesk {

namespace {

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr std::uint32_t kMaxVolumeStep = 33;
constexpr int kInfoSlots = 4;

std::wstring wide(const char* text, std::size_t max) {
    std::size_t len = 0;
    while (len < max && text[len]) ++len;
    if (!len) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(len), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(len), &w[0], n);
    return w;
}

// What a dialog works on, fixed when it opens. Lives on the tray thread's
// stack in openDialog for as long as the modal dialog runs.
struct DialogContext {
    Tray* tray;
    std::uint32_t board;  // may be boardCount or more: then nothing is changed
};

DialogContext* contextOf(HWND dlg) { return reinterpret_cast<DialogContext*>(GetWindowLongPtrW(dlg, DWLP_USER)); }

// Centred horizontally on the cursor, kept inside the work area vertically.
void placeAtCursor(HWND dlg) {
    POINT cursor = {};
    GetCursorPos(&cursor);
    RECT rc = {}, work = {};
    GetWindowRect(dlg, &rc);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    int top;
    if (cursor.y + h > work.bottom)
        top = work.bottom - h;
    else
        top = cursor.y < work.top ? work.top : cursor.y;
    SetWindowPos(dlg, nullptr, cursor.x - w / 2, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(dlg, SW_SHOW);
    SetFocus(dlg);
}

}  // namespace

// ---------------------------------------------------------------- delay

INT_PTR CALLBACK Tray::delayProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrW(dlg, DWLP_USER, lp);
        const auto* context = reinterpret_cast<DialogContext*>(lp);
        context->tray->activeDialog_ = dlg;
        if (const VeskBoardInfo* b = context->tray->board(context->board))
            SetDlgItemInt(dlg, IDC_DELAY_EDIT, b->waitMs, FALSE);
        placeAtCursor(dlg);
        return FALSE;  // the focus was set by the placement
    }
    DialogContext* context = contextOf(dlg);
    if (!context || msg != WM_COMMAND) return FALSE;
    Tray* tray = context->tray;
    switch (LOWORD(wp)) {
    case IDOK: {
        wchar_t text[256] = {};
        GetDlgItemTextW(dlg, IDC_DELAY_EDIT, text, 256);
        // The box takes digits only, as many as fit: a number too large for
        // an unsigned long comes back as its largest value.
        const unsigned long parsed = std::wcstoul(text, nullptr, 10);
        if (parsed > kMaxDelayMs) {
            plat::messageBox("The delay can be at most " + std::to_string(kMaxDelayMs) + " ms.", "Delay", dlg);
            SetFocus(GetDlgItem(dlg, IDC_DELAY_EDIT));
            return TRUE;  // the dialog stays open for another value
        }
        const auto value = static_cast<std::uint32_t>(parsed);
        const std::uint32_t b = context->board;
        if (b < tray->boardCount_) tray->manager_.setBoardWait(b, static_cast<std::uint16_t>(value));
        EndDialog(dlg, IDOK);
        return TRUE;
    }
    case IDCANCEL: EndDialog(dlg, IDCANCEL); return TRUE;
    default: return FALSE;
    }
}

// ---------------------------------------------------------------- volume

INT_PTR CALLBACK Tray::volumeProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrW(dlg, DWLP_USER, lp);
        const auto* context = reinterpret_cast<DialogContext*>(lp);
        Tray* tray = context->tray;
        tray->activeDialog_ = dlg;
        HWND track = GetDlgItem(dlg, IDC_VOLUME_TRACK);
        SendMessageW(track, TBM_SETRANGE, TRUE, MAKELPARAM(0, kMaxVolumeStep));
        SendMessageW(track, TBM_SETTICFREQ, 3, 0);
        SendMessageW(track, TBM_SETLINESIZE, 0, 1);
        SendMessageW(track, TBM_SETPAGESIZE, 0, 3);
        std::uint32_t step = context->board < tray->boardCount_ ? tray->boards_[context->board].volumeIndex : 0;
        if (step > kMaxVolumeStep) step = kMaxVolumeStep;
        SendMessageW(track, TBM_SETPOS, TRUE, static_cast<LPARAM>(kMaxVolumeStep - step));
        SetDlgItemInt(dlg, IDC_VOLUME_DB, static_cast<UINT>(volumeStepDb(step)), TRUE);
        placeAtCursor(dlg);
        return FALSE;
    }
    DialogContext* context = contextOf(dlg);
    if (!context) return FALSE;
    Tray* tray = context->tray;
    if (msg == WM_HSCROLL && reinterpret_cast<HWND>(lp) == GetDlgItem(dlg, IDC_VOLUME_TRACK)) {
        const std::uint32_t b = context->board;
        if (b >= tray->boardCount_) return TRUE;
        const auto pos = static_cast<std::int32_t>(SendMessageW(reinterpret_cast<HWND>(lp), TBM_GETPOS, 0, 0));
        std::uint32_t step = static_cast<std::uint32_t>(static_cast<std::int32_t>(kMaxVolumeStep) - pos);
        if (step > kMaxVolumeStep) step = kMaxVolumeStep;
        tray->boards_[b].volumeIndex = step;
        SetDlgItemInt(dlg, IDC_VOLUME_DB, static_cast<UINT>(volumeStepDb(step)), TRUE);
        // Writes to the attenuator are spaced at least 100 ms apart.
        plat::sleepUntil(tray->boards_[b].lastVolumeChange + std::chrono::milliseconds(100));
        tray->manager_.setOutputVolume(tray->board(b)->boardAddress, step, 2, 0);
        tray->boards_[b].lastVolumeChange = std::chrono::steady_clock::now();
        return TRUE;
    }
    if (msg == WM_COMMAND && (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL)) {
        EndDialog(dlg, IDOK);
        return TRUE;
    }
    return FALSE;
}

// ---------------------------------------------------------------- board information

// The tray thread sets infoRunning before starting this thread, so a window
// closed at once still stops it.
void Tray::monitorMain(std::uint32_t b, HWND wnd) {
    const std::vector<Chip*> chips = manager_.chipsOf(b);
    const std::uint32_t slots = board(b)->slotCount;
    std::vector<std::uint8_t> last(slots, 0);
    BoardState& state = boards_[b];
    std::atomic<std::uint32_t>* colours = state.slotColours.get();
    do {
        for (Chip* chip : chips) {
            const std::uint32_t slot = chip->getSlot();
            const std::uint8_t taken = chip->takeActivity();
            if (slot < slots && taken != last[slot]) {
                last[slot] = taken;
                colours[slot] = taken ? kRed : 0;
            }
        }
        // Invalidated only: painting waits for the tray thread, which may be
        // joining this thread.
        RedrawWindow(wnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
        for (int i = 0; i < 20 && state.infoRunning; ++i) Sleep(50);
    } while (state.infoRunning);
}

INT_PTR CALLBACK Tray::boardInfoProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrW(dlg, DWLP_USER, lp);
        const auto* context = reinterpret_cast<DialogContext*>(lp);
        Tray* tray = context->tray;
        const std::uint32_t b = context->board;
        if (const VeskBoardInfo* info = tray->board(b)) {
            BoardState& state = tray->boards_[b];
            for (std::uint32_t s = 0; s < info->slotCount; ++s) state.slotColours[s] = 0;
            state.infoWindow = dlg;
            SetDlgItemTextW(dlg, IDC_INFO_NAME, (L"[" + wide(info->name, sizeof info->name) + L"]").c_str());
            SetDlgItemTextW(dlg, IDC_INFO_IPV6, wide(info->boardAddress, sizeof info->boardAddress).c_str());
            SetDlgItemTextW(dlg, IDC_INFO_IPV4, boardIPv4Text(*info).c_str());
            const std::vector<Chip*> chips = tray->manager_.chipsOf(b);
            for (std::uint32_t s = 0; s < info->slotCount && s < kInfoSlots; ++s) {
                for (Chip* chip : chips) {
                    const VeskChipInfo& record = chip->record();
                    if (record.slot != s) continue;
                    std::string line = std::string(record.name, strnlen(record.name, sizeof record.name)) + " / " +
                                       clockMHzText(record.clock) + "MHz";
                    SetDlgItemTextW(dlg, IDC_INFO_CHIP0 + static_cast<int>(s), wide(line.c_str(), line.size()).c_str());
                    if (chip->inUse()) SetDlgItemTextW(dlg, IDC_INFO_INUSE0 + static_cast<int>(s), L"o");
                    break;
                }
            }
            if (state.infoThread.joinable()) state.infoThread.join();
            state.infoRunning = 1;
            try {
                state.infoThread = std::thread([tray, b, dlg] { tray->monitorMain(b, dlg); });
            } catch (...) {
                // The window still works, only without colouring.
                state.infoRunning = 0;
            }
        }
        placeAtCursor(dlg);
        return FALSE;
    }
    DialogContext* context = contextOf(dlg);
    if (!context) return FALSE;
    Tray* tray = context->tray;
    const std::uint32_t b = context->board;
    if (msg == WM_CTLCOLORSTATIC) {
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lp));
        if (id < IDC_INFO_CHIP0 || id >= IDC_INFO_CHIP0 + kInfoSlots || b >= tray->boardCount_) return FALSE;
        const std::uint32_t slot = static_cast<std::uint32_t>(id - IDC_INFO_CHIP0);
        HDC dc = reinterpret_cast<HDC>(wp);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        SetTextColor(dc, slot < tray->board(b)->slotCount ? tray->boards_[b].slotColours[slot].load() : 0);
        return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
    }
    if (msg == WM_COMMAND && (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL)) {
        if (b < tray->boardCount_ && tray->boards_[b].infoWindow == dlg) {
            tray->boards_[b].infoWindow = nullptr;
            tray->boards_[b].infoRunning = 0;
        }
        EndDialog(dlg, IDOK);
        return TRUE;
    }
    return FALSE;
}

INT_PTR Tray::openDialog(int resource, std::uint32_t board) {
    DLGPROC proc = resource == IDD_DELAY ? delayProc : resource == IDD_VOLUME ? volumeProc : boardInfoProc;
    DialogContext context{this, board};
    const INT_PTR result = DialogBoxParamW(static_cast<HINSTANCE>(libraryLocation().module), MAKEINTRESOURCEW(resource),
                                           trayWindow_, proc, reinterpret_cast<LPARAM>(&context));
    activeDialog_ = nullptr;
    return result;
}

}  // namespace vesk
