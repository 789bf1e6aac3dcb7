#include "core/manager.h"

#include <algorithm>
#include <cstring>

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

VeskManagerImp::VeskManagerImp() = default;

// Requires the tray threads to be joined (release does it first).
VeskManagerImp::~VeskManagerImp() = default;

void VeskManagerImp::getChipInfo(VeskChipInfo* dst, std::uint32_t capacity) {
    if (!dst || !chipInfo_) return;
    std::memcpy(dst, chipInfo_, sizeof(VeskChipInfo) * std::min(capacity, chipCount_));
}

void VeskManagerImp::getBoardInfo(VeskBoardInfo* dst, std::uint32_t capacity) {
    if (!dst || !boardInfo_) return;
    std::memcpy(dst, boardInfo_, sizeof(VeskBoardInfo) * std::min(capacity, boardCount_));
}

// ---------------------------------------------------------------- init

void VeskManagerImp::init() {
    // A second init would bind the same ports again and stack a second set
    // of transports and chips on the first: refuse it, without effect.
    if (initCalled_) return;
    initCalled_ = true;

    setUpTapSwitch();
    std::vector<std::string> targets;
    readConfigurationStep(targets);
    if (!startNetwork()) return;
    startTimerResolution();
    discoverStep(targets);
    queryBoardsStep();
    checkFirmwareStep();
    startTransportsStep();
    queryChipsStep();
    buildChipTableStep();
    startTrayStep();
}

void VeskManagerImp::setUpTapSwitch() {}

void VeskManagerImp::readConfigurationStep(std::vector<std::string>&) {}

bool VeskManagerImp::startNetwork() {
    netStarted_ = plat::netStartup();
    if (!netStarted_) {
        plat::messageBox("Error : Winsock を初期化できない", "error");
        return false;
    }
    return true;
}

void VeskManagerImp::startTimerResolution() {
    plat::timerResolutionBegin();
    timerStarted_ = true;
}

void VeskManagerImp::discoverStep(const std::vector<std::string>&) {}
void VeskManagerImp::queryBoardsStep() {}
void VeskManagerImp::checkFirmwareStep() {}
void VeskManagerImp::startTransportsStep() {}
void VeskManagerImp::queryChipsStep() {}
void VeskManagerImp::buildChipTableStep() {}
void VeskManagerImp::startTrayStep() {}

// ---------------------------------------------------------------- release

void VeskManagerImp::release() {
    stopTrayStep();
    freeRecordsStep();
    destroyChipTableStep();
    destroyTransportsStep();
    closeEndpointsStep();
    stopNetwork();
    stopTimerResolution();
    releaseTapSwitch();
    delete this;
}

void VeskManagerImp::stopTrayStep() {}

void VeskManagerImp::freeRecordsStep() {
    // The counts stay as they were; only the arrays go.
    delete[] chipInfo_;
    chipInfo_ = nullptr;
    delete[] boardInfo_;
    boardInfo_ = nullptr;
    delete[] boardSettings_;
    boardSettings_ = nullptr;
}

void VeskManagerImp::destroyChipTableStep() {}
void VeskManagerImp::destroyTransportsStep() {}
void VeskManagerImp::closeEndpointsStep() {}

void VeskManagerImp::stopNetwork() {
    if (netStarted_) plat::netCleanup();
    netStarted_ = false;
}

void VeskManagerImp::stopTimerResolution() {
    if (timerStarted_) plat::timerResolutionEnd();
    timerStarted_ = false;
}

void VeskManagerImp::releaseTapSwitch() {}

}  // namespace vesk

extern "C" VESK_EXPORT VeskManager* getManager(void) { return new vesk::VeskManagerImp(); }
