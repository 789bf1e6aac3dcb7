// The notification-area icons of the boards, their menu and dialogs.
// Built only into the Windows library; the library's entry hands
// Tray::start to the manager, which starts it at init's last step.
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

class Chip;

// The tray of one initialised manager, a client of it: one icon per board,
// its menu and dialogs. It reads the manager through its client view and
// its public calls only. Threads: the tray thread (the hidden window, the
// icons, the menu, the modal dialogs), the icon thread (each board's icon
// idle or busy, once a second) and one monitor thread per open board
// information window; all are the tray's own and joined by its destructor.
class Tray final : public ManagerClient {
public:
    // Shows the icons and returns once the tray and icon threads run.
    // Throws std::system_error when a thread cannot start (then nothing of
    // the tray is left running).
    static std::unique_ptr<Tray> start(Manager& manager);
    // Closes the tray's windows and dialogs and joins every thread it started.
    ~Tray() override;
    Tray(const Tray&) = delete;
    Tray& operator=(const Tray&) = delete;

    // What the tray keeps of one board. The tray thread owns the icon
    // record and the window handle; the icon thread changes the icon's
    // hIcon once the icons exist; the atomics are shared with the monitor.
    struct BoardState {
        NOTIFYICONDATAW icon{};           // id = board index
        std::uint8_t iconAdded = 0;       // NIM_ADD succeeded
        std::uint8_t volumeReadable = 0;  // the attenuator answered at start
        std::uint32_t volumeIndex = 0;    // attenuation step 0..33
        std::chrono::steady_clock::time_point lastVolumeChange;
        // Set while the board's information dialog runs (from before it
        // opens until it has returned): choosing the item again meanwhile
        // brings the window forward instead of opening a second one.
        std::atomic<std::uint8_t> infoOpen{0};
        HWND infoWindow = nullptr;
        std::thread infoThread;                                     // the window's monitor
        std::atomic<std::uint8_t> infoRunning{0};                   // the monitor runs while set
        std::unique_ptr<std::atomic<std::uint32_t>[]> slotColours;  // one per slot
    };

    std::uint32_t boardCount() const { return boardCount_; }
    BoardState& boardState(std::uint32_t board) { return boards_[board]; }
    // The board's record as the manager holds it; null out of range.
    const VeskBoardInfo* board(std::uint32_t i) const { return manager_.boardRecord(i); }
    HWND window() const { return trayWindow_; }
    HICON idleIcon() const { return idleIcon_; }
    HICON busyIcon(int phase) const { return busyIcons_[phase & 1]; }
    // The board whose icon was clicked last (tray thread). A dialog works
    // on the board that was current when it opened: a click on another
    // icon while it is open (served by the dialog's own message loop)
    // changes this, not the dialog's board.
    std::uint32_t currentBoard() const { return currentBoard_; }

private:
    explicit Tray(Manager& manager);

    void trayThreadMain();
    void iconThreadMain();
    static LRESULT CALLBACK windowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT onNotify(WPARAM id, LPARAM mouse);
    // The dialogs (dialogs.cpp), modal on the tray thread, for one board.
    // Returns the dialog's result, or -1 when it could not be shown.
    INT_PTR openDialog(int resource, std::uint32_t board);
    static INT_PTR CALLBACK delayProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp);
    static INT_PTR CALLBACK volumeProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp);
    static INT_PTR CALLBACK boardInfoProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp);
    // Colours the board's chip lines while their chips are written, until
    // the board's infoRunning is cleared.
    void monitorMain(std::uint32_t board, HWND wnd);
    // Opens the settings page (command 40003) of the board whose menu it
    // was chosen from (another icon's click in the menu's loop changes the
    // current board).
    void openSettingsPage(std::uint32_t board);
    // Closes the windows and joins the threads; safe on a half-started tray.
    void stop();
public:
    // stop's first step, at once: the icons no longer change. Safe to call
    // more than once.
    void stopIconThread();
private:

    Manager& manager_;
    const std::uint32_t boardCount_;
    std::unique_ptr<BoardState[]> boards_;

    HWND trayWindow_ = nullptr;
    HICON idleIcon_ = nullptr;
    HICON busyIcons_[2] = {nullptr, nullptr};
    std::uint32_t currentBoard_ = 0;
    // The open delay or volume dialog, so that stopping can close it.
    std::atomic<HWND> activeDialog_{nullptr};

    std::thread trayThread_;
    std::thread iconThread_;
    // The icon thread runs while set; stop clears it under iconMutex_ and
    // wakes the thread's one-second wait (release must not wait it out).
    bool running_ = false;
    std::mutex iconMutex_;
    std::condition_variable iconCv_;

    // The tray thread's start-up handshake: set once the window and icons
    // exist or the thread has ended.
    std::mutex startMutex_;
    std::condition_variable startCv_;
    bool startDone_ = false;
};

}  // namespace vesk

#endif  // VESK_TRAY_TRAY_H
