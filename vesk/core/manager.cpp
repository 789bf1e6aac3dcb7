#include "core/manager.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/guarded.h"
#include "chips/chip_table.h"
#include "discovery/config.h"
#include "discovery/discovery.h"
#include "discovery/firmware.h"
#include "discovery/query.h"
#include "chips/chip.h"
#include "transport/board_transport.h"

namespace vesk {

namespace {

// Captured when the library is loaded: static initialisation runs at
// attach time on every platform, before any host call.
int g_anchor;
LibraryLocation locate() {
    LibraryLocation loc;
    loc.module = plat::moduleOf(&g_anchor);
    loc.directory = plat::directoryOf(plat::modulePath(&g_anchor));
    return loc;
}
const LibraryLocation g_location = locate();

}  // namespace

const LibraryLocation& libraryLocation() { return g_location; }

Manager::Manager(ClientStart startClient) : startClient_(startClient) {}

// Requires the client to be stopped (release does it first).
Manager::~Manager() = default;

// ---------------------------------------------------------------- client view

const VeskBoardInfo* Manager::boardRecord(std::uint32_t board) const {
    return board < boardCount_ && boards_.records() ? &boards_.records()[board] : nullptr;
}

void Manager::setBoardWait(std::uint32_t board, std::uint16_t ms) {
    if (board >= boardCount_ || !boards_.records()) return;
    boards_.records()[board].waitMs = ms;
    if (BoardTransport* t = boards_.transport(board)) t->setWaitMs(ms);
}

bool Manager::takeDataSent(std::uint32_t board) {
    BoardTransport* t = boards_.transport(board);
    return t && t->takeDataSent();
}

std::vector<Chip*> Manager::chipsOf(std::uint32_t board) const {
    std::vector<Chip*> out;
    const VeskBoardInfo* info = boardRecord(board);
    if (!info) return out;
    auto it = chipLookup_.find(std::string(info->boardAddress));
    if (it == chipLookup_.end()) return out;
    for (std::uint32_t index : it->second)
        if (index < chips_.size() && chips_[index]) out.push_back(static_cast<Chip*>(chips_[index]));
    return out;
}

void Manager::getChipInfo(VeskChipInfo* dst, std::uint32_t capacity) {
    if (!dst || !chipInfo_) return;
    std::memcpy(dst, chipInfo_.get(), sizeof(VeskChipInfo) * std::min(capacity, chipCount_));
}

void Manager::getBoardInfo(VeskBoardInfo* dst, std::uint32_t capacity) {
    if (!dst || !boards_.records()) return;
    std::memcpy(dst, boards_.records(), sizeof(VeskBoardInfo) * std::min(capacity, boardCount_));
}

// ---------------------------------------------------------------- chips and boards

// The host's calls: none lets an exception out (see platform/guarded.h); a call
// that throws answers as a call that found nothing or failed.
VeskChip* Manager::getChipByIndex(std::uint32_t index, std::uint32_t clock) {
    return guarded<VeskChip*>(nullptr, [&] { return access().getChipByIndex(index, clock); });
}
VeskChip* Manager::getChipBySlot(const char* boardAddress, std::uint32_t slot, std::uint32_t clock) {
    return guarded<VeskChip*>(nullptr, [&] { return access().getChipBySlot(boardAddress, slot, clock); });
}
VeskChip* Manager::getChip(const char* name, std::uint32_t clock) {
    return guarded<VeskChip*>(nullptr, [&] { return access().getChip(name, clock); });
}
bool Manager::releaseChip(VeskChip* chip) {
    return guarded(false, [&] { return access().releaseChip(chip); });
}
void Manager::releaseAllChips() {
    guardedVoid([&] { access().releaseAllChips(); });
}
bool Manager::resetBoards() {
    return guarded(false, [&] { return access().resetBoards(); });
}
bool Manager::resetChips() {
    return guarded(false, [&] { return access().resetChips(); });
}

std::uint32_t Manager::i2cRead(const char* boardAddress, std::uint8_t i2cAddress, std::uint8_t* out,
                               std::uint8_t outCapacity, std::uint8_t readLength, const std::uint8_t* writeData,
                               std::uint8_t writeLength, std::uint32_t) {
    return guarded(std::uint32_t{0}, [&] {
        return access().i2cRead(boardAddress, i2cAddress, out, outCapacity, readLength, writeData, writeLength);
    });
}
bool Manager::i2cWrite(const char* boardAddress, std::uint8_t i2cAddress, const std::uint8_t* data,
                       std::uint8_t length) {
    return guarded(false, [&] { return access().i2cWrite(boardAddress, i2cAddress, data, length); });
}
bool Manager::i2cProbe(const char* boardAddress, std::uint8_t i2cAddress) {
    return guarded(false, [&] { return access().i2cProbe(boardAddress, i2cAddress); });
}
bool Manager::setOutputVolume(const char* boardAddress, std::uint32_t value, std::uint32_t channel,
                              std::uint32_t inhibit) {
    return guarded(false, [&] { return access().setOutputVolume(boardAddress, value, channel, inhibit); });
}
bool Manager::getOutputVolume(const char* boardAddress, std::uint32_t* out, std::uint32_t channel,
                              std::uint32_t inhibit) {
    return guarded(false, [&] { return access().getOutputVolume(boardAddress, out, channel, inhibit); });
}

// ---------------------------------------------------------------- init

void Manager::init() {
    // A second init would bind the same ports again and stack a second set
    // of transports and chips on the first: refuse it, without effect.
    if (initCalled_) return;
    initCalled_ = true;
    const auto started = std::chrono::steady_clock::now();
    // The report is published however init ends, so a host never reads an
    // earlier init's reasons for this one.
    struct Publish {
        Manager& m;
        std::chrono::steady_clock::time_point started;
        ~Publish() {
            guardedVoid([&] {
                const auto ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
                plat::logLine("init: done in " + std::to_string(ms.count()) + " ms: " +
                              std::to_string(m.boardCount_) + " board(s), " + std::to_string(m.chipCount_) +
                              " chip(s), " + std::to_string(m.report_.reasons().size()) + " problem(s)");
                publishInitReport(m.report_);
            });
        }
    } publish{*this, started};
    if (guarded(false, [&] {
            initSteps();
            return true;
        }))
        return;
    // A step threw (memory, a thread that cannot start): everything started
    // so far is stopped and the manager is left as if no board answered.
    guardedVoid([&] {
        report_.add("Setting up the boards stopped early: the computer ran out of memory or could not start a "
                    "thread. Close some programs and try again.");
    });
    guardedVoid([&] { stopEverything(); });
    boardCount_ = 0;
    chipCount_ = 0;
    chips_.clear();
    chipLookup_.clear();
    endpoints_.clear();
    timing_ = TimingChoice{};
}

void Manager::initSteps() {
    setUpTapSwitch();
    std::vector<std::string> targets;
    readConfigurationStep(targets);
    if (!startNetwork()) return;
    startTimerResolution();
    discoverStep(targets);
    assignHostPortsStep();
    queryBoardsStep();
    checkFirmwareStep();
    startTransportsStep();
    queryChipsStep();
    buildChipTableStep();
    startTrayStep();
}

void Manager::setUpTapSwitch() {
    tapSwitch_.setUp(libraryLocation().directory + plat::sharedLibraryName("tap_switch"));
}

void Manager::readConfigurationStep(std::vector<std::string>& targets) {
    bool log = false;
    readConfiguration(libraryLocation().directory, targets, &timing_, &log);
    if (log) plat::setLogFile(libraryLocation().directory + "vesk.log");
    plat::logLine("init: library " + plat::modulePath(&g_anchor) + ", " + std::to_string(targets.size()) +
                  " board(s) named in " + kConfigFileName);
}

bool Manager::startNetwork() {
    netStarted_ = plat::netStartup();
    if (!netStarted_) {
        report_.add("The network could not be started on this computer, so no board can be reached.");
        plat::messageBox("Error : Winsock を初期化できない", "error");
        return false;
    }
    return true;
}

void Manager::startTimerResolution() {
    plat::timerResolutionBegin();
    timerStarted_ = true;
}

// Links, discovery, endpoint list and the configuration filter.
void Manager::discoverStep(const std::vector<std::string>& targets) {
    std::vector<LinkEntry> links;
    std::string linkText;
    for (auto& address : enumerateLocalLinks()) {
        linkText += " " + (address.empty() ? std::string("(no link-local address)") : address);
        links.push_back(LinkEntry{std::move(address), {}});
    }
    plat::logLine("init: " + std::to_string(links.size()) + " network connection(s):" + linkText);
    discoverBoards(links, &report_);
    if (!targets.empty()) reportMissingTargets(links, targets, report_);
    endpoints_ = buildEndpoints(links);
    filterEndpoints(endpoints_, targets);
    plat::logLine("init: " + std::to_string(endpoints_.size()) + " board(s) to use");
}

void Manager::assignHostPortsStep() { assignHostPorts(endpoints_, &report_); }

void Manager::queryBoardsStep() {
    boardCount_ = static_cast<std::uint32_t>(endpoints_.size());
    if (boardCount_ == 0) return;
    boards_.allocate(boardCount_);
    queryBoards(endpoints_, boards_.records(), boards_.settings(), &report_);
}

void Manager::checkFirmwareStep() { checkFirmware(boards_.records(), boardCount_); }

// One transport per board, in board order; each starts its threads at once.
void Manager::startTransportsStep() {
    boards_.reserveTransports(endpoints_.size());
    const VeskBoardInfo* info = boards_.records();
    const BoardSettings* settings = boards_.settings();
    std::uint32_t i = 0;
    for (const auto& e : endpoints_) {
        boards_.addTransport(std::make_unique<BoardTransport>(e.socket, e.boardAddress.c_str(), info[i].waitMs,
                                                              info[i].bufferSize, settings[i].idleMs,
                                                              settings[i].gapMs, timing_.forBoard(e.boardAddress)));
        ++i;
    }
}

// Slot query; only slots that report a chip get a record, in board and
// slot order.
void Manager::queryChipsStep() {
    if (boardCount_ == 0) return;
    std::vector<SlotResult> slots = querySlots(endpoints_, boards_.records());
    slots.erase(std::remove_if(slots.begin(), slots.end(), [](const SlotResult& r) { return !r.present; }),
                slots.end());
    chipCount_ = static_cast<std::uint32_t>(slots.size());
    if (chipCount_ == 0) return;
    chipInfo_ = std::make_unique<VeskChipInfo[]>(chipCount_);
    for (std::uint32_t i = 0; i < chipCount_; ++i) chipInfo_[i] = slots[i].info;
}
// One chip object per record, on its board's transport; each resets its
// slot and sends its silence table as it is made.
void Manager::buildChipTableStep() { buildChipTable(boards_.links(), chipInfo_.get(), chipCount_, chips_, chipLookup_); }
// The tray, where the library has one (see startClient).
void Manager::startTrayStep() {
    if (startClient_) client_ = startClient_(*this);
}

// ---------------------------------------------------------------- release

void Manager::release() {
    guardedVoid([&] { stopEverything(); });
    guardedVoid([] {
        plat::logLine("release: done");
        plat::setLogFile(std::string());
    });
    delete this;
}

void Manager::stopEverything() {
    stopTrayStep();
    freeRecordsStep();
    destroyChipTableStep();
    destroyTransportsStep();
    closeEndpointsStep();
    stopNetwork();
    stopTimerResolution();
    releaseTapSwitch();
}

void Manager::stopTrayStep() { client_.reset(); }

void Manager::freeRecordsStep() {
    // The counts stay as they were; only the arrays go.
    chipInfo_.reset();
    boards_.freeRecords();
}

// Joins any upload thread of a chip; records and transports stay.
void Manager::destroyChipTableStep() { destroyChipTable(chips_); }
// Each transport first syncs with its board, then stops and joins.
void Manager::destroyTransportsStep() { boards_.stopTransports(); }
void Manager::closeEndpointsStep() { withdrawHostPorts(endpoints_); }

void Manager::stopNetwork() {
    if (netStarted_) plat::netCleanup();
    netStarted_ = false;
}

void Manager::stopTimerResolution() {
    if (timerStarted_) plat::timerResolutionEnd();
    timerStarted_ = false;
}

void Manager::releaseTapSwitch() { tapSwitch_.release(); }

}  // namespace vesk
