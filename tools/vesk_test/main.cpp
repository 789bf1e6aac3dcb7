// vesk_test: lists what the library found, exercises the first board's I2C
// bus (attenuator at 0x28, SSD1306 display at 0x3C), opens a YM2151 and a
// YM2149 at 4 MHz, waits for a key and shuts everything down in order.
//
// Output is UTF-8 (the console is switched to it), so the Japanese lines read
// right on any system locale. Record text fields may fill their field without
// a terminating zero; they are printed bounded by the field size.
#include <vesk/vesk.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "init_report_text.h"
#include "tool_version.h"

namespace {

const char* const kSeparator = "-------------------------------------------------\n";

template <std::size_t N>
std::string field(const char (&f)[N]) {
    return std::string(f, strnlen(f, N));
}

void readR(VeskManager* m, const char* board, std::uint8_t* buf) {
    std::uint32_t n = m->i2cRead(board, 0x28, buf, 16, 3, nullptr, 0, 0);
    std::printf("i2c 0x28 = [%d] ", static_cast<int>(n));
    for (std::uint32_t i = 0; i < n && i < 16; ++i) std::printf("%x, ", buf[i]);
    std::printf("\n");
}

// Writes the eight pages of the 128x64 display with one fill byte.
bool displayPass(VeskManager* m, const char* board, std::uint8_t fill) {
    bool ok = true;
    for (std::uint8_t p = 0; p < 8; ++p) {
        const std::uint8_t cmd[8] = {0x00, 0x21, 0x00, 0x7F, 0x22, 0x00, 0x07, static_cast<std::uint8_t>(0xB0 + p)};
        ok = m->i2cWrite(board, 0x3C, cmd, sizeof cmd) && ok;
        std::uint8_t data[129];
        data[0] = 0x40;
        std::memset(data + 1, fill, 128);
        ok = m->i2cWrite(board, 0x3C, data, sizeof data) && ok;
    }
    return ok;
}

void listBoards(const std::vector<VeskBoardInfo>& boards) {
    std::printf("[ボードの数 = %u]\n", static_cast<unsigned>(boards.size()));
    for (const auto& b : boards) {
        std::printf("name = %s\n", field(b.name).c_str());
        std::printf("local = %s\n", field(b.localAddress).c_str());
        std::printf("board = %s\n", field(b.boardAddress).c_str());
        std::printf("ver = %08x\n", b.firmwareVersion);
        std::printf("slot num = %u\n", b.slotCount);
        std::printf("protocol = %u\n", b.protocol);
        std::printf("listen port = %u\n", static_cast<unsigned>(b.listenPort));
        std::printf("send port = %u\n", static_cast<unsigned>(b.sendPort));
        std::printf("buffer size = %u\n", b.bufferSize);
        std::printf("wait = %u[ms]\n", static_cast<unsigned>(b.waitMs));
        std::printf("%s", kSeparator);
    }
}

void listChips(const std::vector<VeskChipInfo>& chips) {
    std::printf("[チップの数 = %u]\n", static_cast<unsigned>(chips.size()));
    for (const auto& c : chips) {
        std::printf("name = %s\n", field(c.name).c_str());
        std::printf("address = %s\n", field(c.address).c_str());
        std::printf("slot no = %u\n", c.slot);
        std::printf("clock = %u\n", c.clock);
        std::printf("valiable clock = %u\n", static_cast<unsigned>(c.variableClock));
        std::printf("hardware reset = %u\n", static_cast<unsigned>(c.hardwareReset));
        std::printf("extinfo = %s\n", field(c.extInfo).c_str());
        std::printf("%s", kSeparator);
    }
}

// The board's I2C bus: probes both devices, steps the attenuator and shows
// reads between the steps, then blanks, fills and blanks the display.
void exerciseI2c(VeskManager* m, const std::string& board) {
    std::uint8_t buf[16] = {};
    std::printf("i2c 0x3c = %d\n", m->i2cProbe(board.c_str(), 0x3C) ? 1 : 0);
    std::printf("i2c 0x28 = %d\n", m->i2cProbe(board.c_str(), 0x28) ? 1 : 0);
    readR(m, board.c_str(), buf);
    const std::uint8_t select[1] = {0x87};
    m->i2cWrite(board.c_str(), 0x28, select, 1);
    readR(m, board.c_str(), buf);
    const std::uint8_t levels[2] = {0x00, 0x40};
    m->i2cWrite(board.c_str(), 0x28, levels, 2);
    readR(m, board.c_str(), buf);
    std::fflush(stdout);
    displayPass(m, board.c_str(), 0x00);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    displayPass(m, board.c_str(), 0xFF);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    displayPass(m, board.c_str(), 0x00);
}

// Takes the first chip of the model at 4 MHz and says what it got; null
// when there is none.
VeskChip* openChip(VeskManager* m, const char* model, int line) {
    VeskChip* chip = m->getChip(model, 4000000);
    if (chip)
        std::printf("chip%d name = %s, clock = %u\n", line, chip->getName(), chip->getClock());
    else
        std::printf("%s は見つからなかった\n", model);
    return chip;
}

// Why init found fewer boards than it could, when the library says
// (getInitReport, looked up as a host would); nothing from an older library
// without the export.
void printInitReport(vesk::plat::Module lib) {
    const std::string text = vesk::tools::initReportText(lib);
    if (!text.empty()) std::printf("[init report]\n%s\n%s", text.c_str(), kSeparator);
}

const char* const kUsage =
    "usage: vesk_test [--version | --help]\n"
    "Lists the boards and chips the library finds, exercises the first board's\n"
    "I2C bus, opens a YM2151 and a YM2149 at 4 MHz, then waits for a key and\n"
    "shuts everything down.\n"
    "  --version  this program's version and that of the library beside it\n";

// The options: each stands alone. Returns the exit status.
int options(const std::string& a, int argc) {
    if (argc == 2 && (a == "--help" || a == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && a == "--version") {
        vesk::tools::printVersion("vesk_test", vesk::tools::libraryBeside(reinterpret_cast<const void*>(&readR)));
        return 0;
    }
    std::fprintf(stderr, "vesk_test: unknown option %s\n%s", a.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vesk;
    plat::ConsoleUtf8 utf8Console;
    if (argc > 1) return options(argv[1], argc);

    const std::string self = plat::modulePath(reinterpret_cast<const void*>(&readR));
    const std::string dir = plat::directoryOf(self);
    if (dir.empty()) return 0;
    const std::string libraryPath = dir + plat::sharedLibraryName("vesk");

    plat::Module lib = plat::loadModule(libraryPath);
    if (!lib) {
        plat::messageBox("DLL load error", "DLL loading error");
        return 0;
    }
    auto getManagerFn = reinterpret_cast<VeskGetManagerFn>(plat::findSymbol(lib, "getManager"));
    VeskManager* m = getManagerFn ? getManagerFn() : nullptr;
    if (!m) {
        plat::messageBox("getManager 取得ミス", "error");
        return 0;
    }

    m->init();
    std::vector<VeskBoardInfo> boards(m->getBoardCount());
    std::vector<VeskChipInfo> chips(m->getChipCount());
    if (!boards.empty()) m->getBoardInfo(boards.data(), static_cast<std::uint32_t>(boards.size()));
    if (!chips.empty()) m->getChipInfo(chips.data(), static_cast<std::uint32_t>(chips.size()));

    std::printf("ライブラリパス = %s\n", libraryPath.c_str());
    std::printf("%s", kSeparator);
    listBoards(boards);
    listChips(chips);
    printInitReport(lib);
    std::fflush(stdout);

    if (!boards.empty()) exerciseI2c(m, field(boards[0].boardAddress));

    VeskChip* opm = openChip(m, "YM2151", 0);
    VeskChip* psg = openChip(m, "YM2149", 1);
    std::fflush(stdout);

    plat::waitForKey();

    m->releaseChip(opm);
    m->releaseChip(psg);
    m->release();
    plat::unloadModule(lib);
    return 0;
}
