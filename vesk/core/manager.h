// Manager: all manager state, and init/release in their fixed order.
#ifndef VESK_CORE_MANAGER_H
#define VESK_CORE_MANAGER_H

#include <vesk/vesk.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/boards.h"
#include "core/chip_access.h"
#include "discovery/config.h"
#include "discovery/discovery.h"
#include "discovery/init_report.h"
#include "discovery/query.h"
#include "discovery/tap_switch.h"
#include "platform/platform.h"

namespace vesk {

class BoardLink;
class BoardTransport;
class Chip;
class Manager;

// Something that runs beside an initialised manager and reads it through
// the manager's client view (below): the notification-area tray of the
// Windows library. Destroying it stops it: it closes its windows and joins
// every thread it started.
class ManagerClient {
public:
    virtual ~ManagerClient() = default;
};

// Starts a client over a manager whose boards and chips are in place;
// returns once the client runs. Throws std::system_error when one of its
// threads cannot start (nothing of it is left running then).
using ClientStart = std::unique_ptr<ManagerClient> (*)(Manager& manager);

// Records the library's own module and directory when it is loaded.
struct LibraryLocation {
    plat::Module module = nullptr;
    std::string directory;  // UTF-8, ends with the path separator
};
const LibraryLocation& libraryLocation();

class Manager final : public VeskManager {
public:
    // startClient, when given, is called at init's last step (the library's
    // entry gives the tray's where there is one).
    explicit Manager(ClientStart startClient = nullptr);
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

    // The client view: what a client (the tray) reads and changes of a
    // board while the manager runs, board < getBoardCount(). Any thread.
    //
    // The board's record; null when there is none (board out of range).
    const VeskBoardInfo* boardRecord(std::uint32_t board) const;
    // The board's latency in ms, in its record and for its transport's
    // later batches and requests (the transport raises it to its gap).
    void setBoardWait(std::uint32_t board, std::uint16_t ms);
    // Whether the board's transport sent music since the last call.
    bool takeDataSent(std::uint32_t board);
    // The board's chips, in chip-table order.
    std::vector<Chip*> chipsOf(std::uint32_t board) const;

    // Read by the tests; owned here. Null when the board has none.
    BoardTransport* transport(std::uint32_t board) const { return boards_.transport(board); }
    const std::list<BoardEndpoint>& endpoints() const { return endpoints_; }
    // The client from init's last step to release's first; null elsewhere.
    ManagerClient* client() const { return client_.get(); }
    // Why this manager's init found fewer boards than it could (empty before
    // init); published for getInitReport when init ends.
    const InitReport& initReport() const { return report_; }

private:
    friend struct ManagerTestAccess;
    friend struct ManagerAllocationAccess;

    // The chip and board operations over this manager's tables.
    ChipAccess access() { return ChipAccess{chips_, boards_.links(), i2cProbeCache_}; }

    // init's steps in order; may throw (init then stops everything).
    void initSteps();
    // release's steps without the delete; safe to run again afterwards.
    void stopEverything();

    // init steps, in order.
    void setUpTapSwitch();
    // Also starts the log when the configuration asks for it.
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
    TimingChoice timing_;  // from vesk_config.toml
    InitReport report_;
    Boards boards_;
    std::uint32_t boardCount_ = 0;  // kept when release frees the records
    std::unique_ptr<VeskChipInfo[]> chipInfo_;
    std::uint32_t chipCount_ = 0;
    std::vector<VeskChip*> chips_;
    std::unordered_map<std::string, std::vector<std::uint32_t>> chipLookup_;
    I2cProbeCache i2cProbeCache_;

    ClientStart startClient_ = nullptr;
    std::unique_ptr<ManagerClient> client_;

    TapSwitch tapSwitch_;
};

}  // namespace vesk

#endif  // VESK_CORE_MANAGER_H
