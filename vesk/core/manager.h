// Manager: all manager state, and init/release in their fixed order.
#ifndef VESK_CORE_MANAGER_H
#define VESK_CORE_MANAGER_H

#include <vesk/vesk.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/chip_access.h"
#include "discovery/discovery.h"
#include "discovery/query.h"
#include "discovery/tap_switch.h"
#include "platform/platform.h"

namespace vesk {

class BoardLink;
class BoardTransport;
class Tray;
class Manager;

// The notification-area tray (Windows builds only, vesk/tray): startTray
// shows the boards' icons and returns once its threads run (throws
// std::system_error when one cannot start); stopTray closes its windows,
// joins every thread it started and frees it.
Tray* startTray(Manager& manager);
void stopTray(Tray* tray);

// Records the library's own module and directory when it is loaded.
struct LibraryLocation {
    plat::Module module = nullptr;
    std::string directory;  // UTF-8, ends with the path separator
};
const LibraryLocation& libraryLocation();

class Manager final : public VeskManager {
public:
    Manager();
    ~Manager() override;

    void init() override;
    void release() override;
    std::uint32_t getChipCount() override { return chipCount_; }
    std::uint32_t getBoardCount() override { return boardCount_; }
    void getChipInfo(VeskChipInfo* dst, std::uint32_t capacity) override;
    void getBoardInfo(VeskBoardInfo* dst, std::uint32_t capacity) override;
    VeskChip* getChipByIndex(std::uint32_t index, std::uint32_t clock) override;
    VeskChip* getChipBySlot(const char* boardAddress, std::uint32_t slot, std::uint32_t clock) override;
    VeskChip* getChip(const char* name, std::uint32_t clock) override;
    bool releaseChip(VeskChip* chip) override;
    void releaseAllChips() override;
    bool resetBoards() override;
    bool resetChips() override;
    std::uint32_t i2cRead(const char* boardAddress, std::uint8_t i2cAddress, std::uint8_t* out,
                          std::uint8_t outCapacity, std::uint8_t readLength, const std::uint8_t* writeData,
                          std::uint8_t writeLength, std::uint32_t reserved) override;
    bool i2cWrite(const char* boardAddress, std::uint8_t i2cAddress, const std::uint8_t* data,
                  std::uint8_t length) override;
    bool i2cProbe(const char* boardAddress, std::uint8_t i2cAddress) override;
    bool setOutputVolume(const char* boardAddress, std::uint32_t value, std::uint32_t channel,
                         std::uint32_t inhibit) override;
    bool getOutputVolume(const char* boardAddress, std::uint32_t* out, std::uint32_t channel,
                         std::uint32_t inhibit) override;

    // Read by the tray and the tests; owned here.
    const std::vector<BoardTransport*>& transports() const { return transports_; }
    const std::list<BoardEndpoint>& endpoints() const { return endpoints_; }
    // The tray from init's last step to release's first; null elsewhere.
    Tray* tray() const { return tray_; }

private:
    friend struct ManagerTestAccess;
    friend struct ManagerAllocationAccess;
    friend class Tray;
    friend Tray* startTray(Manager& manager);
    friend void stopTray(Tray* tray);

    // The chip and board operations over this manager's tables.
    ChipAccess access() { return ChipAccess{chips_, links_, i2cProbeCache_}; }

    // init's steps in order; may throw (init then stops everything).
    void initSteps();
    // release's steps without the delete; safe to run again afterwards.
    void stopEverything();

    // init steps, in order.
    void setUpTapSwitch();
    void readConfigurationStep(std::vector<std::string>& targets);
    // returns false when Winsock could not start (init then stops)
    bool startNetwork();
    void startTimerResolution();
    void discoverStep(const std::vector<std::string>& targets);
    void assignHostPortsStep();
    void queryBoardsStep();
    void checkFirmwareStep();
    void startTransportsStep();
    void queryChipsStep();
    void buildChipTableStep();
    void startTrayStep();

    // release steps, in order
    void stopTrayStep();
    void freeRecordsStep();
    void destroyChipTableStep();
    void destroyTransportsStep();
    void closeEndpointsStep();
    void stopNetwork();
    void stopTimerResolution();
    void releaseTapSwitch();

    bool initCalled_ = false;
    bool netStarted_ = false;
    bool timerStarted_ = false;

    std::list<BoardEndpoint> endpoints_;
    VeskBoardInfo* boardInfo_ = nullptr;
    BoardSettings* boardSettings_ = nullptr;
    std::uint32_t boardCount_ = 0;
    VeskChipInfo* chipInfo_ = nullptr;
    std::uint32_t chipCount_ = 0;
    std::vector<BoardTransport*> transports_;
    std::vector<BoardLink*> links_;  // transports_ as the chips and chip access see them
    std::vector<VeskChip*> chips_;
    std::unordered_map<std::string, std::vector<std::uint32_t>> chipLookup_;
    I2cProbeCache i2cProbeCache_;

    std::thread trayThread_;
    std::thread iconThread_;
    std::atomic<bool> trayRunning_{false};
    Tray* tray_ = nullptr;

    TapSwitch tapSwitch_;
};

}  // namespace vesk

#endif  // VESK_CORE_MANAGER_H
