// The notification-area icons of the boards, their menu and dialogs.
// Built only into the Windows library; the manager's tray steps call
// startTray/stopTray (declared in core/manager.h).
#ifndef VESK_TRAY_TRAY_H
#define VESK_TRAY_TRAY_H

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/manager.h"

namespace vesk {

// The icon notification message (WM_APP + 11).
constexpr UINT kTrayMessage = 0x800B;

// Level in dB shown for an attenuation step 0..33 (steps above 33 read as 33).
int volumeStepDb(std::uint32_t step);

// True when text is a plain dotted-quad IPv4 address: four decimal numbers
// 0..255 of one to three digits, separated by single dots, nothing else.
// The settings page is opened only for such a text: the board sends it and
// it becomes part of a browser's command line.
bool isDottedQuad(const std::wstring& text);

// A board record's IPv4 field as UTF-16 (OEM code page): at most its first
// 21 bytes (the 22nd has no room beside a terminator in the field's text),
// stopping at the first zero byte.
std::wstring boardIPv4Text(const VeskBoardInfo& board);

// The largest delay the delay dialog accepts, ms: the transport bounds a
// request's wait for its reply by the same figure, and the batches' later
// deadlines would hold every write back by as much.
constexpr std::uint32_t kMaxDelayMs = 5000;

// "%.3f" of clockHz / 1000000 computed in single precision.
std::string clockMHzText(std::uint32_t clockHz);

// Tray state for one initialised manager. Members marked "tray thread" are
// touched only there; the per-board arrays are sized once by startTray and
// freed by stopTray after every thread that reads them has been joined.
class Chip;

class Tray {
public:
    explicit Tray(Manager& manager);
    ~Tray();
    Tray(const Tray&) = delete;
    Tray& operator=(const Tray&) = delete;

    Manager& manager;
    const std::uint32_t boardCount;

    HWND trayWindow = nullptr;
    std::vector<NOTIFYICONDATAW> trayIcons;  // one per board, id = board index
    std::vector<std::uint8_t> iconAdded;     // NIM_ADD succeeded for that board
    HICON idleIcon = nullptr;
    HICON busyIcons[2] = {nullptr, nullptr};
    // The board whose icon was clicked last (tray thread). A dialog works
    // on the board that was current when it opened: a click on another
    // icon while it is open (served by the dialog's own message loop)
    // changes this, not the dialog's board.
    std::uint32_t currentBoard = 0;
    // The open delay or volume dialog, so that tray stop can close it.
    std::atomic<HWND> activeDialog{nullptr};

    std::unique_ptr<std::uint8_t[]> volumeReadable;
    std::unique_ptr<std::uint32_t[]> volumeIndex;
    std::unique_ptr<std::chrono::steady_clock::time_point[]> lastVolumeChange;

    // Set by the tray thread while the board's information dialog runs
    // (from before it opens until it has returned); choosing the item again
    // meanwhile brings the window forward instead of opening a second one.
    std::unique_ptr<std::atomic<std::uint8_t>[]> boardInfoOpen;
    std::unique_ptr<HWND[]> boardInfoWindow;
    std::unique_ptr<std::thread[]> boardInfoThread;
    std::unique_ptr<std::atomic<std::uint8_t>[]> boardInfoRunning;
    std::vector<std::unique_ptr<std::atomic<std::uint32_t>[]>> slotColours;

    // The tray thread's start-up handshake: set once the window and icons
    // exist or the thread has ended.
    std::mutex startMutex;
    std::condition_variable startCv;
    bool startDone = false;

    // Manager state the tray reads.
    const VeskBoardInfo* board(std::uint32_t i) const;
    BoardTransport* transport(std::uint32_t i) const;
    // The board's chips, in chip-table order.
    std::vector<Chip*> chipsOf(std::uint32_t board) const;

    // The dialogs (dialogs.cpp), modal on the tray thread, for one board.
    // Returns the dialog's result, or -1 when it could not be shown.
    INT_PTR openDialog(int resource, std::uint32_t board);
    // Opens the current board's settings page (command 40003).
    void openSettingsPage();

private:
    void trayThreadMain();
    void iconThreadMain();
    static LRESULT CALLBACK windowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT onNotify(WPARAM id, LPARAM mouse);
    friend Tray* startTray(Manager& manager);
    friend void stopTray(Tray* tray);
};

}  // namespace vesk

#endif  // VESK_TRAY_TRAY_H
