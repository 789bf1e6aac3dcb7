// The tray's text rules (the address check that guards the browser's
// command line, the attenuation table, the clock formatting), and its
// dialogs driven on a tray of two boards without a network.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/window_search.h"
#include "tray/resource.h"
#include "tray/tray.h"

using vesk::isDottedQuad;

TEST(TrayText, OnlyAPlainDottedQuadIsAnAddress) {
    const struct {
        const wchar_t* text;
        bool ok;
    } cases[] = {
        {L"192.168.1.20", true},
        {L"0.0.0.0", true},
        {L"255.255.255.255", true},
        {L"10.0.0.1", true},
        {L"", false},
        {L"192.168.1", false},
        {L"192.168.1.20.5", false},
        {L"256.1.1.1", false},
        {L"1.2.3.4 ", false},
        {L" 1.2.3.4", false},
        {L"1.2.3.4 -kiosk", false},
        {L"1.2.3.4\"x", false},
        {L"1.2.3.-4", false},
        {L"1..2.3", false},
        {L"1.2.3.4.", false},
        {L"0001.2.3.4", false},
        {L"1.2.3.4/", false},
        {L"a.b.c.d", false},
        {L"1.2.3.4\t", false},
        {L"１.2.3.4", false},  // full-width digit
    };
    for (const auto& c : cases) EXPECT_EQ(isDottedQuad(c.text), c.ok) << static_cast<int>(wcslen(c.text));
}

TEST(TrayText, AttenuationStepsInDecibels) {
    const struct {
        std::uint32_t step;
        int db;
    } cases[] = {{0, 0},    {1, -1},   {11, -11}, {12, -12}, {13, -14}, {14, -16},  {24, -36},
                 {25, -39}, {26, -42}, {32, -60}, {33, -80}, {34, -80}, {1000, -80}};
    for (const auto& c : cases) EXPECT_EQ(vesk::volumeStepDb(c.step), c.db) << c.step;
}

TEST(TrayText, ClockInMegahertzWithThreeDecimals) {
    EXPECT_EQ(vesk::clockMHzText(4000000), "4.000");
    EXPECT_EQ(vesk::clockMHzText(3579545), "3.580");
    EXPECT_EQ(vesk::clockMHzText(7987200), "7.987");
    EXPECT_EQ(vesk::clockMHzText(1789772), "1.790");
    EXPECT_EQ(vesk::clockMHzText(0), "0.000");
}

TEST(TrayText, AddressFieldStopsAtItsEndEvenWithoutTerminator) {
    VeskBoardInfo b{};
    std::memcpy(b.boardIPv4, "192.168.1.20", 12);
    EXPECT_EQ(vesk::boardIPv4Text(b), L"192.168.1.20");
    std::memset(b.boardIPv4, '7', sizeof b.boardIPv4);  // no terminator in the field
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(vesk::boardIPv4Text(b), std::wstring(21, L'7'));
    // The conversion is given only what fits; it does not fail part-way.
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

namespace vesk {

struct ManagerTestAccess {
    // Two boards with the given waits, no transports and no chips.
    static void setBoards(Manager& m, std::uint16_t wait0, std::uint16_t wait1) {
        m.boards_.allocate(2);
        VeskBoardInfo* info = m.boards_.records();
        info[0].waitMs = wait0;
        info[1].waitMs = wait1;
        std::strcpy(info[0].boardAddress, "fe80::a");
        std::strcpy(info[1].boardAddress, "fe80::b");
        std::strcpy(info[0].boardIPv4, "10.0.0.1");
        std::strcpy(info[1].boardIPv4, "10.0.0.2");
        m.boardCount_ = 2;
    }
    static void setClient(Manager& m, std::unique_ptr<ManagerClient> client) { m.client_ = std::move(client); }
};

namespace {

using namespace std::chrono_literals;

using testing::waitFor;
using testing::waitWindow;
using testing::windows;

const wchar_t kDialog[] = L"#32770";
const wchar_t kMenu[] = L"#32768";
const wchar_t kDelayCaption[] = L"遅延設定";
const wchar_t kVolumeCaption[] = L"出力ボリューム設定";
const wchar_t kInfoCaption[] = L"VESK Board Info.";

// A started tray over two boards (waits 30 and 40 ms) that answer nothing,
// shared by the tests (Wine takes seconds to stop a tray, and about two to
// close each dialog): the hidden window is driven as the shell drives it.
class TrayDialogs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        mgr = static_cast<Manager*>(getManager());
        ManagerTestAccess::setBoards(*mgr, 30, 40);
        ManagerTestAccess::setClient(*mgr, Tray::start(*mgr));
    }
    static void TearDownTestSuite() {
        mgr->release();  // stops the tray, closing whatever is open
        mgr = nullptr;
    }
    void SetUp() override {
        tray = static_cast<Tray*>(mgr->client());
        ASSERT_NE(tray->window(), nullptr);
        SetCursorPos(400, 300);
    }
    void TearDown() override {
        plat::setMessageHook(nullptr);
        // Nothing may stay open for the next test.
        for (HWND w : windows(kMenu)) PostMessageW(w, WM_KEYDOWN, VK_ESCAPE, 0);
        for (HWND w : windows(kDialog)) PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
        waitFor([] { return windows(kMenu).empty() && windows(kDialog).empty(); });
    }
    void click(std::uint32_t board, UINT mouse) { PostMessageW(tray->window(), kTrayMessage, board, mouse); }
    // Right-clicks the board's icon and chooses the n-th item (1-based).
    void chooseItem(std::uint32_t board, int n) {
        click(board, WM_RBUTTONUP);
        HWND menu = waitWindow(kMenu);
        ASSERT_NE(menu, nullptr);
        for (int i = 0; i < n; ++i) PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    }
    // Makes another board current the way a user can while a dialog is
    // open: its icon's menu is opened, then dismissed.
    void makeCurrentMeanwhile(std::uint32_t board) {
        click(board, WM_RBUTTONUP);
        HWND menu = waitWindow(kMenu);
        ASSERT_NE(menu, nullptr);
        ASSERT_TRUE(waitFor([&] { return tray->currentBoard() == board; }));
        PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        ASSERT_TRUE(waitFor([] { return windows(kMenu).empty(); }));
    }

    static Manager* mgr;
    Tray* tray = nullptr;
};
Manager* TrayDialogs::mgr = nullptr;

TEST_F(TrayDialogs, DelayActsOnTheBoardItWasOpenedFor) {
    chooseItem(0, 2);
    HWND dlg = waitWindow(kDialog, kDelayCaption);
    ASSERT_NE(dlg, nullptr);
    makeCurrentMeanwhile(1);
    SetDlgItemTextW(dlg, IDC_DELAY_EDIT, L"77");
    PostMessageW(dlg, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(waitFor([&] { return !IsWindow(dlg); }));
    EXPECT_EQ(tray->board(0)->waitMs, 77);
    EXPECT_EQ(tray->board(1)->waitMs, 40);
}

// The settings page is the menu's board's, even when another icon's click
// made that board current while the menu was open. Neither board reports a
// usable IPv4 address here: no browser is started, and the refusal names
// the board.
TEST_F(TrayDialogs, SettingsPageIsForTheMenusBoard) {
    std::vector<std::string> boxes;
    plat::setMessageHook([&](const std::string& text, const std::string&) { boxes.push_back(text); });
    VeskBoardInfo& a = *const_cast<VeskBoardInfo*>(tray->board(0));
    VeskBoardInfo& b = *const_cast<VeskBoardInfo*>(tray->board(1));
    const std::string ipv4a = a.boardIPv4, ipv4b = b.boardIPv4;
    std::strcpy(a.boardIPv4, "-a");
    std::strcpy(b.boardIPv4, "-b");
    const auto readable = tray->boardState(1).volumeReadable;
    tray->boardState(1).volumeReadable = 0;
    click(0, WM_RBUTTONUP);
    HWND menu = waitWindow(kMenu);
    ASSERT_NE(menu, nullptr);
    click(1, WM_LBUTTONUP);  // board 1 current; its volume is not readable: nothing opens
    ASSERT_TRUE(waitFor([&] { return tray->currentBoard() == 1; }));
    for (int i = 0; i < 4; ++i) PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_TRUE(waitFor([&] { return !boxes.empty(); }));
    plat::setMessageHook(nullptr);
    std::strcpy(a.boardIPv4, ipv4a.c_str());
    std::strcpy(b.boardIPv4, ipv4b.c_str());
    tray->boardState(1).volumeReadable = readable;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("fe80::a"), std::string::npos) << boxes[0];
}

// The refusal of a delay too large belongs to the dialog: it stays in front
// of it and the dialog takes no input until it is closed.
TEST_F(TrayDialogs, DelayRefusalBoxIsOwnedByTheDialog) {
    chooseItem(0, 2);
    HWND dlg = waitWindow(kDialog, kDelayCaption);
    ASSERT_NE(dlg, nullptr);
    SetDlgItemTextW(dlg, IDC_DELAY_EDIT, L"5001");
    PostMessageW(dlg, WM_COMMAND, IDOK, 0);
    HWND box = waitWindow(kDialog, L"Delay");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetWindow(box, GW_OWNER), dlg);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(waitFor([&] { return !IsWindow(box); }));
    PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(waitFor([&] { return !IsWindow(dlg); }));
}

TEST_F(TrayDialogs, VolumeActsOnTheBoardItWasOpenedFor) {
    tray->boardState(0).volumeReadable = 1;
    tray->boardState(0).volumeIndex = 4;
    tray->boardState(1).volumeIndex = 9;
    click(0, WM_LBUTTONUP);
    HWND dlg = waitWindow(kDialog, kVolumeCaption);
    ASSERT_NE(dlg, nullptr);
    makeCurrentMeanwhile(1);
    HWND track = GetDlgItem(dlg, IDC_VOLUME_TRACK);
    SendMessageW(track, TBM_SETPOS, TRUE, 33 - 20);
    SendMessageW(dlg, WM_HSCROLL, TB_THUMBTRACK, reinterpret_cast<LPARAM>(track));
    EXPECT_EQ(tray->boardState(0).volumeIndex, 20u);
    EXPECT_EQ(tray->boardState(1).volumeIndex, 9u);
    PostMessageW(dlg, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(waitFor([&] { return !IsWindow(dlg); }));
}

TEST_F(TrayDialogs, DelayAboveTheMaximumIsRefusedAndTheDialogStays) {
    std::vector<std::string> boxes;
    plat::setMessageHook([&](const std::string& text, const std::string&) { boxes.push_back(text); });
    chooseItem(0, 2);
    HWND dlg = waitWindow(kDialog, kDelayCaption);
    ASSERT_NE(dlg, nullptr);
    const std::uint16_t before = tray->board(0)->waitMs;
    // Ten digits fit in the box; beyond an unsigned long the number reads
    // as its largest value.
    for (const wchar_t* text : {L"5001", L"65535", L"70000", L"4294967295", L"99999999999"}) {
        boxes.clear();
        SetDlgItemTextW(dlg, IDC_DELAY_EDIT, text);
        SendMessageW(dlg, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(IsWindow(dlg) && IsWindowVisible(dlg)) << text << " closed the dialog";
        EXPECT_EQ(tray->board(0)->waitMs, before) << text;
        ASSERT_EQ(boxes.size(), 1u) << text;
        EXPECT_NE(boxes[0].find("5000"), std::string::npos) << boxes[0];
    }
    SetDlgItemTextW(dlg, IDC_DELAY_EDIT, L"5000");
    SendMessageW(dlg, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(waitFor([&] { return !IsWindow(dlg); }));
    EXPECT_EQ(tray->board(0)->waitMs, 5000);
    EXPECT_TRUE(boxes.size() == 1u);
}

TEST_F(TrayDialogs, BoardInformationChosenAgainComesForwardAndReopensAfterClosing) {
    chooseItem(0, 1);
    HWND info = waitWindow(kDialog, kInfoCaption);
    ASSERT_NE(info, nullptr);
    // Chosen again while open (its menu runs inside the window's own
    // message loop): the same window comes forward, no second one.
    SetForegroundWindow(tray->window());
    chooseItem(0, 1);
    ASSERT_TRUE(waitFor([] { return windows(kMenu).empty(); }));
    EXPECT_TRUE(waitFor([&] { return GetForegroundWindow() == info; }, 2000ms));
    EXPECT_EQ(windows(kDialog, kInfoCaption).size(), 1u);
    // The other board's window opens beside it.
    chooseItem(1, 1);
    ASSERT_TRUE(waitFor([] { return windows(kDialog, kInfoCaption).size() == 2; }));
    for (HWND w : windows(kDialog, kInfoCaption)) PostMessageW(w, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(waitFor([&] { return tray->boardState(0).infoOpen == 0 && tray->boardState(1).infoOpen == 0; }));
    EXPECT_EQ(tray->boardState(0).infoWindow, nullptr);
    EXPECT_EQ(tray->boardState(1).infoWindow, nullptr);
    // Once closed it opens again.
    chooseItem(0, 1);
    info = waitWindow(kDialog, kInfoCaption);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(tray->boardState(0).infoWindow, info);
    PostMessageW(info, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(waitFor([&] { return tray->boardState(0).infoOpen == 0; }));
}

// Stopping wakes the icon thread from its second between two looks at the
// boards: release must not wait it out (it did, a second each time).
TEST(TrayStop, DoesNotWaitOutTheIconThreadsSecond) {
    auto* m = static_cast<Manager*>(getManager());
    ManagerTestAccess::setBoards(*m, 30, 40);
    std::unique_ptr<Tray> tray = Tray::start(*m);
    const auto t0 = std::chrono::steady_clock::now();
    tray->stopIconThread();
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 500);
    tray.reset();
    m->release();
}

}  // namespace
}  // namespace vesk
