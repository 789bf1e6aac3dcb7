// The tray as a user meets it, under Wine over the simulator test bed
// (tray.toml): icons, the menu, the three dialogs, the settings page.
// The hidden window is driven as the shell drives it, by posting the icon
// message with the icon id and the mouse message. Screenshots are asked of
// the test bed's side (tray_bed.sh) through request files.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "chips/chip.h"
#include "core/manager.h"
#include "support/window_search.h"
#include "testbed_env.h"
#include "transport/board_transport.h"
#include "tray/resource.h"
#include "tray/tray.h"

using namespace vesk;
using vesk::testing::findWindow;
using vesk::testing::waitFor;
using vesk::testing::waitWindow;
using vesk::testing::windows;
using namespace std::chrono_literals;

namespace {

const char kAddrA[] = "fe80::5e5c:1";
const char kAddrB[] = "fe80::5e5c:2";

std::wstring wide(const std::string& s) {
    std::wstring w(s.size() * 2 + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], static_cast<int>(w.size()));
    w.resize(n > 0 ? n - 1 : 0);
    return w;
}

std::string winPath(const std::string& unixPath) {
    std::string p = "Z:" + unixPath;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

std::string envVar(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Asks tray_bed.sh for a screenshot of the display; true once it exists.
bool screenshot(const std::string& name) {
    const std::string dir = envVar("VESK_TRAY_SHOTS");
    if (dir.empty()) return false;
    Sleep(400);  // let the window finish painting
    const std::string base = winPath(dir + "/" + name);
    std::ofstream(base + ".req") << name;
    return waitFor([&] { return GetFileAttributesA((base + ".done").c_str()) != INVALID_FILE_ATTRIBUTES; }, 15000ms);
}

int countWindows(const wchar_t* cls, const std::wstring& caption) {
    return static_cast<int>(windows(cls, caption).size());
}

std::wstring itemText(HWND dlg, int id) {
    wchar_t buf[256] = {};
    GetDlgItemTextW(dlg, id, buf, 256);
    return buf;
}

const wchar_t kDialogClass[] = L"#32770";
const wchar_t kMenuClass[] = L"#32768";

// One initialised manager for the interactive tests.
class TrayBed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!testbed::Env::get().inBed) return;
        SetCursorPos(400, 300);
        mgr = static_cast<Manager*>(getManager());
        mgr->init();
    }
    static void TearDownTestSuite() {
        if (mgr) mgr->release();
        mgr = nullptr;
    }
    void SetUp() override {
        if (!testbed::Env::get().inBed) GTEST_SKIP() << testbed::Env::get().why;
        ASSERT_EQ(mgr->getBoardCount(), 2u);
        ASSERT_NE(static_cast<Tray*>(mgr->client()), nullptr);
        tray = static_cast<Tray*>(mgr->client());
        SetCursorPos(400, 300);
    }
    void TearDown() override {
        // Nothing may stay open for the next test.
        for (HWND w; (w = findWindow(kMenuClass)) != nullptr;) {
            PostMessageW(w, WM_KEYDOWN, VK_ESCAPE, 0);
            if (!waitFor([&] { return !IsWindowVisible(w); }, 2000ms)) break;
        }
        for (HWND w; (w = findWindow(kDialogClass)) != nullptr;) {
            PostMessageW(w, WM_CLOSE, 0, 0);
            if (!waitFor([&] { return !IsWindow(w); }, 2000ms)) break;
        }
    }
    void click(std::uint32_t id, UINT mouse) { PostMessageW(tray->window(), kTrayMessage, id, mouse); }
    // Opens board id's menu and returns the menu window.
    HWND openMenu(std::uint32_t id) {
        click(id, WM_RBUTTONUP);
        return waitWindow(kMenuClass);
    }
    // Chooses the n-th item (1-based) of the open menu with the keyboard.
    void choose(HWND menuWnd, int n) {
        for (int i = 0; i < n; ++i) PostMessageW(menuWnd, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(menuWnd, WM_KEYDOWN, VK_RETURN, 0);
    }

    static Manager* mgr;
    Tray* tray = nullptr;
};
Manager* TrayBed::mgr = nullptr;

// ---------------------------------------------------------------- icons

TEST_F(TrayBed, OneIconPerBoardWithItsAddressAsTooltip) {
    EXPECT_EQ(FindWindowW(L"vesktray", L"VeskTrayWnd"), tray->window());
    ASSERT_EQ(tray->boardCount(), 2u);
    EXPECT_EQ(tray->boardState(0).iconAdded, 1);
    EXPECT_EQ(tray->boardState(1).iconAdded, 1);
    EXPECT_STREQ(tray->boardState(0).icon.szTip, L"Vesk [192.168.1.20]");
    EXPECT_STREQ(tray->boardState(1).icon.szTip, L"Vesk [1.2.3.4 -kiosk \"x\"]");
    EXPECT_EQ(tray->boardState(1).icon.uID, 1u);
    EXPECT_EQ(tray->boardState(0).icon.uCallbackMessage, kTrayMessage);
}

TEST_F(TrayBed, IconBlinksWhileTheBoardReceivesAndRestsAfter) {
    VeskChip* chip = mgr->getChipBySlot(kAddrB, 0, 3579545);
    ASSERT_NE(chip, nullptr);
    std::vector<HICON> seen;
    const auto end = std::chrono::steady_clock::now() + 3500ms;
    HICON last = tray->boardState(1).icon.hIcon;
    while (std::chrono::steady_clock::now() < end) {
        chip->write(0x10, 0x20);
        Sleep(40);
        if (tray->boardState(1).icon.hIcon != last) seen.push_back(last = tray->boardState(1).icon.hIcon);
    }
    mgr->releaseChip(chip);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_TRUE(seen[0] == tray->busyIcon(0) || seen[0] == tray->busyIcon(1));
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_NE(seen[i], seen[i - 1]);  // alternates
    EXPECT_TRUE(waitFor([&] { return tray->boardState(1).icon.hIcon == tray->idleIcon(); }, 3000ms));
    EXPECT_EQ(tray->boardState(0).icon.hIcon, tray->idleIcon());  // the other board stayed idle
}

// ---------------------------------------------------------------- menu

TEST_F(TrayBed, RightClickMakesTheBoardCurrentAndShowsTheMenu) {
    HWND menuWnd = openMenu(1);
    ASSERT_NE(menuWnd, nullptr);
    EXPECT_EQ(tray->currentBoard(), 1u);
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWnd, 0x01E1 /* MN_GETHMENU */, 0, 0));
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), 4);
    const struct {
        UINT id;
        const wchar_t* text;
    } items[] = {{IDM_BOARD_INFO, L"ボード情報表示"},
                 {IDM_DELAY, L"遅延設定"},
                 {IDM_VOLUME, L"出力ボリューム設定"},
                 {IDM_SETTINGS_PAGE, L"ボード設定ページを開く"}};
    for (int i = 0; i < 4; ++i) {
        wchar_t text[64] = {};
        GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
        EXPECT_EQ(GetMenuItemID(menu, i), items[i].id);
        EXPECT_STREQ(text, items[i].text);
    }
    // Board 1 has no readable volume: its volume item is greyed.
    EXPECT_TRUE(GetMenuState(menu, IDM_VOLUME, MF_BYCOMMAND) & MF_GRAYED);
    EXPECT_FALSE(GetMenuState(menu, IDM_DELAY, MF_BYCOMMAND) & MF_GRAYED);
    EXPECT_TRUE(screenshot("menu-board1"));
    PostMessageW(menuWnd, WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(waitFor([&] { return !findWindow(kMenuClass); }));

    menuWnd = openMenu(0);
    ASSERT_NE(menuWnd, nullptr);
    menu = reinterpret_cast<HMENU>(SendMessageW(menuWnd, 0x01E1, 0, 0));
    EXPECT_FALSE(GetMenuState(menu, IDM_VOLUME, MF_BYCOMMAND) & MF_GRAYED);
    EXPECT_EQ(tray->currentBoard(), 0u);
    PostMessageW(menuWnd, WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(waitFor([&] { return !findWindow(kMenuClass); }));

    // An id beyond the board count keeps the current board.
    click(7, WM_RBUTTONUP);
    menuWnd = waitWindow(kMenuClass);
    ASSERT_NE(menuWnd, nullptr);
    EXPECT_EQ(tray->currentBoard(), 0u);
    PostMessageW(menuWnd, WM_KEYDOWN, VK_ESCAPE, 0);
}

TEST_F(TrayBed, LeftClickOpensTheVolumeDialogOnlyWhereTheVolumeIsReadable) {
    EXPECT_EQ(tray->boardState(0).volumeReadable, 1);
    EXPECT_EQ(tray->boardState(1).volumeReadable, 0);
    EXPECT_EQ(tray->boardState(0).volumeIndex, 5u);  // the attenuator's start level
    click(1, WM_LBUTTONUP);
    EXPECT_EQ(waitWindow(kDialogClass, L"出力ボリューム設定", 1500ms), nullptr);
    click(0, WM_LBUTTONUP);
    HWND dlg = waitWindow(kDialogClass, L"出力ボリューム設定");
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(itemText(dlg, IDC_VOLUME_DB), L"-5");
    PostMessageW(dlg, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(waitFor([&] { return !IsWindow(dlg); }));
}

// ---------------------------------------------------------------- delay

TEST_F(TrayBed, DelayDialogSetsRecordAndTransportLatency) {
    BoardTransport* t = mgr->transport(0);
    const std::uint32_t gap = t->getGapMs();
    const struct {
        const wchar_t* text;
        bool ok;
        std::uint16_t record;
        std::uint32_t transport;
    } cases[] = {
        {L"80", true, 80, 80},   {L"5000", true, 5000, 5000},  // the largest accepted (above it, tray_unit_test)
        {L"0", true, 0, gap},                                  // raised to the gap
        {L"123", false, 0, gap},                               // cancel changes nothing
        {L"50", true, 50, 50},
    };
    // A batch opened while the latency is 5 s would hold up every later
    // one: no keep-alive may open one meanwhile.
    t->holdKeepAlives(true);
    bool shot = false;
    for (const auto& c : cases) {
        HWND menuWnd = openMenu(0);
        ASSERT_NE(menuWnd, nullptr);
        choose(menuWnd, 2);
        HWND dlg = waitWindow(kDialogClass, L"遅延設定");
        ASSERT_NE(dlg, nullptr) << "delay dialog for " << c.text;
        SetDlgItemTextW(dlg, IDC_DELAY_EDIT, c.text);
        if (!shot) shot = screenshot("delay-dialog");
        PostMessageW(dlg, WM_COMMAND, c.ok ? IDOK : IDCANCEL, 0);
        ASSERT_TRUE(waitFor([&] { return !IsWindow(dlg); }));
        EXPECT_EQ(tray->board(0)->waitMs, c.record) << c.text;
        EXPECT_EQ(t->getWaitMs(), c.transport) << c.text;
    }
    t->holdKeepAlives(false);
    EXPECT_TRUE(shot);
}

// The number after "key": in a record line; -1 when absent.
long long recordNumber(const std::string& line, const char* key) {
    const std::string k = std::string("\"") + key + "\":";
    const std::size_t at = line.find(k);
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + k.size());
}

// Whether the simulator has recorded, since offset, board A receiving a
// register write of data to reg; offset moves past what was read. *heldNs:
// how long after its datagram arrived the board played it (datagrams leave
// early and wait on the board, timed by its clock).
bool recordedWrite(std::streamoff& offset, int reg, int data, long long* heldNs) {
    std::ifstream in(winPath(testbed::Env::get().record), std::ios::binary);
    in.seekg(offset);
    const std::string r = "\"reg\":" + std::to_string(reg) + ",", d = "\"data\":" + std::to_string(data) + ",";
    bool found = false;
    long long arrival = -1;
    for (std::string line; std::getline(in, line);) {
        if (in.eof()) break;  // a line still being written
        offset += static_cast<std::streamoff>(line.size() + 1);
        if (line.find("\"VESK-A\"") == std::string::npos) continue;
        if (line.find("\"type\":\"datagram\"") != std::string::npos) arrival = recordNumber(line, "arrival_ns");
        if (line.find("\"write_reg\"") != std::string::npos && line.find(r) != std::string::npos &&
            line.find(d) != std::string::npos) {
            found = true;
            *heldNs = arrival < 0 ? 0 : recordNumber(line, "replay_ns") - arrival;
        }
    }
    return found;
}

TEST_F(TrayBed, DelayTakesEffectForTheNextBatchAtTheBoard) {
    VeskChip* chip = mgr->getChipBySlot(kAddrA, 0, 4000000);
    ASSERT_NE(chip, nullptr);
    std::streamoff offset = 0;
    long long unused = 0;
    recordedWrite(offset, -1, -1, &unused);  // skip what init sent
    // Sets the delay through the dialog, then times one write from the push
    // to when the board played it.
    auto latency = [&](const wchar_t* delay, int reg) {
        HWND menuWnd = openMenu(0);
        EXPECT_NE(menuWnd, nullptr);
        choose(menuWnd, 2);
        HWND dlg = waitWindow(kDialogClass, L"遅延設定");
        EXPECT_NE(dlg, nullptr);
        SetDlgItemTextW(dlg, IDC_DELAY_EDIT, delay);
        PostMessageW(dlg, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(waitFor([&] { return !IsWindow(dlg); }));
        Sleep(300);  // let batches opened before the change leave
        const auto t0 = std::chrono::steady_clock::now();
        chip->write(static_cast<std::uint32_t>(reg), 0x5A);
        long long heldNs = 0;
        EXPECT_TRUE(waitFor([&] { return recordedWrite(offset, reg, 0x5A, &heldNs); }, 3000ms));
        // Push to arrival on the host's clock, then arrival to play on the board's.
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0) +
               std::chrono::milliseconds(heldNs / 1000000);
    };
    const auto slow = latency(L"400", 0x31);
    const auto fast = latency(L"20", 0x32);
    latency(L"50", 0x33);
    mgr->releaseChip(chip);
    std::printf("push to play: %lld ms at 400 ms, %lld ms at 20 ms\n", static_cast<long long>(slow.count()),
                static_cast<long long>(fast.count()));
    EXPECT_GE(slow.count(), 400);
    EXPECT_LT(slow.count(), 900);
    EXPECT_LT(fast.count(), 250);
}

TEST_F(TrayBed, DelayDialogOpensWithTheBoardsWait) {
    HWND menuWnd = openMenu(0);
    ASSERT_NE(menuWnd, nullptr);
    choose(menuWnd, 2);
    HWND dlg = waitWindow(kDialogClass, L"遅延設定");
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(itemText(dlg, IDC_DELAY_EDIT), std::to_wstring(tray->board(0)->waitMs));
    // Placed centred on the cursor.
    RECT rc;
    GetWindowRect(dlg, &rc);
    EXPECT_NEAR((rc.left + rc.right) / 2, 400, 2);
    EXPECT_EQ(rc.top, 300);
    PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
}

// ---------------------------------------------------------------- volume

// Level bytes of the attenuator writes board A received, with their
// replay times, from the simulator's record.
struct VolumeWrite {
    std::int64_t ns;
    std::string bytes;
};
std::vector<VolumeWrite> volumeWrites() {
    std::vector<VolumeWrite> out;
    std::ifstream in(winPath(testbed::Env::get().record));
    for (std::string line; std::getline(in, line);) {
        if (line.find("\"i2c_write\"") == std::string::npos || line.find("\"VESK-A\"") == std::string::npos) continue;
        auto field = [&](const std::string& key) {
            std::size_t p = line.find("\"" + key + "\":");
            if (p == std::string::npos) return std::string();
            p += key.size() + 3;
            while (p < line.size() && (line[p] == ' ' || line[p] == '"')) ++p;
            std::size_t e = line.find_first_of(",}\"", p);
            return line.substr(p, e - p);
        };
        out.push_back({std::stoll(field("replay_ns")), field("bytes")});
    }
    return out;
}

TEST_F(TrayBed, VolumeDialogWritesSpacedLevelsToTheAttenuator) {
    const std::size_t before = volumeWrites().size();
    click(0, WM_LBUTTONUP);
    HWND dlg = waitWindow(kDialogClass, L"出力ボリューム設定");
    ASSERT_NE(dlg, nullptr);
    HWND track = GetDlgItem(dlg, IDC_VOLUME_TRACK);
    EXPECT_EQ(SendMessageW(track, TBM_GETRANGEMAX, 0, 0), 33);
    const struct {
        int pos;
        std::uint32_t step;
        const wchar_t* db;
    } drags[] = {{21, 12, L"-12"}, {20, 13, L"-14"}, {0, 33, L"-80"}, {33, 0, L"0"}, {30, 3, L"-3"}};
    for (const auto& d : drags) {
        SendMessageW(track, TBM_SETPOS, TRUE, d.pos);
        SendMessageW(dlg, WM_HSCROLL, TB_THUMBTRACK, reinterpret_cast<LPARAM>(track));
        EXPECT_EQ(itemText(dlg, IDC_VOLUME_DB), d.db) << d.pos;
        EXPECT_EQ(tray->boardState(0).volumeIndex, d.step);
    }
    EXPECT_TRUE(screenshot("volume-dialog"));
    PostMessageW(dlg, WM_CLOSE, 0, 0);
    ASSERT_TRUE(waitFor([&] { return !IsWindow(dlg); }));

    std::vector<VolumeWrite> writes;
    ASSERT_TRUE(waitFor([&] { return (writes = volumeWrites()).size() >= before + 5; }));
    writes.erase(writes.begin(), writes.begin() + static_cast<std::ptrdiff_t>(before));
    ASSERT_EQ(writes.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        // Both channels, channel 1 marked by bit 6: ... level, 0x40 | level.
        char tail[8];
        std::snprintf(tail, sizeof tail, "%02x%02x", drags[i].step, 0x40 | drags[i].step);
        const std::string& b = writes[i].bytes;
        EXPECT_EQ(b.substr(b.size() >= 4 ? b.size() - 4 : 0), tail) << i;
        if (i) {
            EXPECT_GE(writes[i].ns - writes[i - 1].ns, 95000000) << "write " << i << " came too soon";
        }
    }
    // Reopening shows the last step.
    click(0, WM_LBUTTONUP);
    dlg = waitWindow(kDialogClass, L"出力ボリューム設定");
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(SendMessageW(GetDlgItem(dlg, IDC_VOLUME_TRACK), TBM_GETPOS, 0, 0), 30);
    PostMessageW(dlg, WM_COMMAND, IDOK, 0);
}

// ---------------------------------------------------------------- board information

// Pure-red pixels inside a control, read from the screen.
int redPixels(HWND ctl) {
    RECT rc;
    GetClientRect(ctl, &rc);
    HDC dc = GetDC(ctl);
    int n = 0;
    for (int y = 0; y < rc.bottom; ++y)
        for (int x = 0; x < rc.right; ++x)
            if (GetPixel(dc, x, y) == RGB(255, 0, 0)) ++n;
    ReleaseDC(ctl, dc);
    return n;
}

TEST_F(TrayBed, BoardInformationShowsChipsAndColoursWrittenOnes) {
    VeskChip* taken = mgr->getChipBySlot(kAddrA, 1, 2000000);
    ASSERT_NE(taken, nullptr);
    HWND menuWnd = openMenu(0);
    ASSERT_NE(menuWnd, nullptr);
    choose(menuWnd, 1);
    HWND dlg = waitWindow(kDialogClass, L"VESK Board Info.");
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(tray->boardState(0).infoWindow, dlg);
    EXPECT_EQ(itemText(dlg, IDC_INFO_NAME), L"[VESK-A]");
    EXPECT_EQ(itemText(dlg, IDC_INFO_IPV6), wide(kAddrA));
    EXPECT_EQ(itemText(dlg, IDC_INFO_IPV4), L"192.168.1.20");
    const wchar_t* lines[] = {L"YM2151 / 4.000MHz", L"YM2149 / 2.000MHz", L"NONE", L"YM2608 / 7.987MHz"};
    const wchar_t* marks[] = {L"-", L"o", L"-", L"-"};
    for (int s = 0; s < 4; ++s) {
        EXPECT_EQ(itemText(dlg, IDC_INFO_CHIP0 + s), lines[s]) << s;
        EXPECT_EQ(itemText(dlg, IDC_INFO_INUSE0 + s), marks[s]) << s;
    }

    // A host writing to slot 1 turns its line red; slot 0 stays black.
    std::atomic<bool> writing{true};
    std::thread host([&] {
        while (writing) {
            taken->write(0x07, 0x38);
            Sleep(20);
        }
    });
    // Chips written before the window opened (their silence tables) show red
    // for the first pass only.
    const bool red = waitFor(
        [&] {
            return tray->boardState(0).slotColours[1] == RGB(255, 0, 0) && tray->boardState(0).slotColours[0] == 0 &&
                   tray->boardState(0).slotColours[3] == 0;
        },
        5000ms);
    EXPECT_TRUE(red);
    EXPECT_TRUE(waitFor([&] { return redPixels(GetDlgItem(dlg, IDC_INFO_CHIP0 + 1)) > 10; }, 3000ms));
    EXPECT_TRUE(waitFor([&] { return redPixels(GetDlgItem(dlg, IDC_INFO_CHIP0)) == 0; }, 3000ms));
    EXPECT_TRUE(screenshot("board-info"));
    writing = false;
    host.join();
    EXPECT_TRUE(waitFor([&] { return tray->boardState(0).slotColours[1] == 0; }, 4000ms));

    // Choosing it again brings the open window forward; no second one.
    menuWnd = openMenu(0);
    ASSERT_NE(menuWnd, nullptr);
    choose(menuWnd, 1);
    ASSERT_TRUE(waitFor([&] { return !findWindow(kMenuClass); }));
    Sleep(500);
    EXPECT_EQ(countWindows(kDialogClass, L"VESK Board Info."), 1);

    PostMessageW(dlg, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(waitFor([&] { return !IsWindow(dlg); }));
    EXPECT_EQ(tray->boardState(0).infoWindow, nullptr);
    EXPECT_EQ(tray->boardState(0).infoRunning, 0);
    EXPECT_TRUE(waitFor([&] { return tray->boardState(0).infoOpen == 0; }));
    mgr->releaseChip(taken);
}

TEST_F(TrayBed, BoardInformationOfATwoSlotBoardAndAQuickReopen) {
    for (int round = 0; round < 3; ++round) {
        HWND menuWnd = openMenu(1);
        ASSERT_NE(menuWnd, nullptr);
        choose(menuWnd, 1);
        HWND dlg = waitWindow(kDialogClass, L"VESK Board Info.");
        ASSERT_NE(dlg, nullptr);
        EXPECT_EQ(itemText(dlg, IDC_INFO_CHIP0), L"YM2413 / 3.580MHz");
        EXPECT_EQ(itemText(dlg, IDC_INFO_CHIP0 + 1), L"YM2151 / 3.580MHz");
        EXPECT_EQ(itemText(dlg, IDC_INFO_CHIP0 + 2), L"NONE");
        EXPECT_EQ(itemText(dlg, IDC_INFO_INUSE0 + 3), L"-");
        // Closed at once: the monitor thread still ends.
        PostMessageW(dlg, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(waitFor([&] { return !IsWindow(dlg); }));
    }
    EXPECT_EQ(tray->boardState(1).infoRunning, 0);
}

// ---------------------------------------------------------------- settings page

// The stand-in browser appends its command line to this file.
std::string browserLog() { return winPath(envVar("VESK_TRAY_SHOTS") + "/browser.txt"); }
std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST_F(TrayBed, SettingsPageOpensOnlyForAPlainAddress) {
    if (envVar("VESK_TRAY_SHOTS").empty()) GTEST_SKIP() << "run through tray_bed.sh";
    // The stand-in browser takes Firefox's fixed place.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring standIn = self;
    standIn = standIn.substr(0, standIn.rfind(L'\\') + 1) + L"stand_in_browser.exe";
    CreateDirectoryW(L"C:\\Program Files\\Mozilla Firefox", nullptr);
    ASSERT_TRUE(CopyFileW(standIn.c_str(), L"C:\\Program Files\\Mozilla Firefox\\firefox.exe", FALSE));
    SetEnvironmentVariableA("VESK_BROWSER_LOG", browserLog().c_str());
    DeleteFileA(browserLog().c_str());

    std::vector<std::string> boxes;
    plat::setMessageHook([&](const std::string& text, const std::string&) { boxes.push_back(text); });

    HWND menuWnd = openMenu(0);
    ASSERT_NE(menuWnd, nullptr);
    choose(menuWnd, 4);
    EXPECT_TRUE(waitFor([&] { return readAll(browserLog()).find("http://192.168.1.20/") != std::string::npos; }));
    EXPECT_TRUE(boxes.empty());

    DeleteFileA(browserLog().c_str());
    menuWnd = openMenu(1);
    ASSERT_NE(menuWnd, nullptr);
    choose(menuWnd, 4);
    EXPECT_TRUE(waitFor([&] { return !boxes.empty(); }));
    Sleep(1500);
    EXPECT_EQ(readAll(browserLog()), "");  // nothing was started
    plat::setMessageHook(nullptr);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("IPv4"), std::string::npos);
    DeleteFileW(L"C:\\Program Files\\Mozilla Firefox\\firefox.exe");

    // Without Firefox: the browser registered for http opens the page, and
    // one whose path names chrome.exe is warned about first.
    CreateDirectoryW(L"C:\\vesk-test", nullptr);
    ASSERT_TRUE(CopyFileW(standIn.c_str(), L"C:\\vesk-test\\chrome.exe", FALSE));
    const wchar_t command[] = L"\"C:\\vesk-test\\chrome.exe\" \"%1\"";
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command", nullptr, REG_SZ, command, sizeof command),
        ERROR_SUCCESS);
    DeleteFileA(browserLog().c_str());
    menuWnd = openMenu(0);
    ASSERT_NE(menuWnd, nullptr);
    choose(menuWnd, 4);
    HWND warning = waitWindow(kDialogClass, L"Warning");
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(itemText(warning, 0xFFFF), L"chrome では正しく動作しませんが、起動します");
    EXPECT_TRUE(screenshot("chrome-warning"));
    PostMessageW(GetDlgItem(warning, IDOK), BM_CLICK, 0, 0);
    EXPECT_TRUE(waitFor([&] { return readAll(browserLog()).find("http://192.168.1.20/") != std::string::npos; }))
        << readAll(browserLog());
}

}  // namespace

// ---------------------------------------------------------------- start and stop

// Its own manager, before the suite's: icons and threads come and go.
TEST(TrayLifecycle, StartAddsIconsAndStopJoinsEveryThread) {
    if (!testbed::Env::get().inBed) GTEST_SKIP() << testbed::Env::get().why;
    const int threadsBefore = plat::processThreadCount();
    auto* m = static_cast<Manager*>(getManager());
    m->init();
    ASSERT_NE(m->client(), nullptr);
    const std::uint32_t boards = m->getBoardCount();
    auto* tray = static_cast<Tray*>(m->client());
    EXPECT_EQ(tray->boardCount(), boards);
    for (std::uint32_t i = 0; i < boards; ++i) EXPECT_EQ(tray->boardState(i).iconAdded, 1) << i;
    EXPECT_NE(FindWindowW(L"vesktray", L"VeskTrayWnd"), nullptr);
    EXPECT_GT(plat::processThreadCount(), threadsBefore);
    // With a board information window open, stop still closes it and joins.
    if (boards) {
        SetCursorPos(400, 300);
        PostMessageW(static_cast<Tray*>(m->client())->window(), kTrayMessage, 0, WM_RBUTTONUP);
        HWND menuWnd = waitWindow(kMenuClass);
        ASSERT_NE(menuWnd, nullptr);
        PostMessageW(menuWnd, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(menuWnd, WM_KEYDOWN, VK_RETURN, 0);
        ASSERT_NE(waitWindow(kDialogClass, L"VESK Board Info."), nullptr);
    }
    const auto t0 = std::chrono::steady_clock::now();
    m->release();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);  // no hang
    EXPECT_EQ(FindWindowW(L"vesktray", L"VeskTrayWnd"), nullptr);
    EXPECT_EQ(findWindow(kDialogClass), nullptr);
    EXPECT_TRUE(waitFor([&] { return plat::processThreadCount() <= threadsBefore; }, 2000ms))
        << plat::processThreadCount() << " threads, " << threadsBefore << " before";
}

// Release while the user is in the menu, or in the delay dialog: both close
// and every thread is joined.
TEST(TrayLifecycle, StopWithTheMenuOrTheDelayDialogOpen) {
    if (!testbed::Env::get().inBed) GTEST_SKIP() << testbed::Env::get().why;
    for (int withDialog = 0; withDialog < 2; ++withDialog) {
        const int threadsBefore = plat::processThreadCount();
        auto* m = static_cast<Manager*>(getManager());
        m->init();
        ASSERT_NE(m->client(), nullptr);
        if (m->getBoardCount() == 0) {
            m->release();
            GTEST_SKIP() << "no board: no icon to click";
        }
        SetCursorPos(400, 300);
        PostMessageW(static_cast<Tray*>(m->client())->window(), kTrayMessage, 0, WM_RBUTTONUP);
        HWND menuWnd = waitWindow(kMenuClass);
        ASSERT_NE(menuWnd, nullptr);
        if (withDialog) {
            for (int i = 0; i < 2; ++i) PostMessageW(menuWnd, WM_KEYDOWN, VK_DOWN, 0);
            PostMessageW(menuWnd, WM_KEYDOWN, VK_RETURN, 0);
            ASSERT_NE(waitWindow(kDialogClass, L"遅延設定"), nullptr);
        }
        const auto t0 = std::chrono::steady_clock::now();
        m->release();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s) << withDialog;
        EXPECT_EQ(FindWindowW(L"vesktray", L"VeskTrayWnd"), nullptr);
        EXPECT_TRUE(waitFor([&] { return !findWindow(kMenuClass) && !findWindow(kDialogClass); }, 2000ms));
        EXPECT_TRUE(waitFor([&] { return plat::processThreadCount() <= threadsBefore; }, 2000ms)) << withDialog;
    }
}
