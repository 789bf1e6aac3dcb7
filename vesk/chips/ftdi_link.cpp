#include "chips/ftdi_link.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace vesk {

namespace {

std::mutex& pathMutex() {
    static std::mutex m;
    return m;
}
std::string& pathOverride() {
    static std::string path;
    return path;
}
std::atomic<std::int64_t> readyTimeoutMs{5000};

std::string libraryPath() {
    std::lock_guard<std::mutex> lock(pathMutex());
    return pathOverride().empty() ? plat::systemLibraryPath("ftd2xx") : pathOverride();
}

template <class Fn>
bool resolve(plat::Module m, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(plat::findSymbol(m, name));
    return fn != nullptr;
}

}  // namespace

void setD2xxLibraryPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(pathMutex());
    pathOverride() = path;
}

void setD2xxReadyTimeout(std::chrono::milliseconds limit) { readyTimeoutMs.store(limit.count()); }

bool D2xxLink::open(const char* serialNumber) {
    close();
    std::string path = libraryPath();
    if (path.empty()) return false;
    library_ = plat::loadModule(path);
    if (!library_) return false;

    bool all = resolve(library_, "FT_Close", close_) && resolve(library_, "FT_Write", write_) &&
               resolve(library_, "FT_ResetDevice", resetDevice_) && resolve(library_, "FT_Purge", purge_) &&
               resolve(library_, "FT_SetBitMode", setBitMode_) && resolve(library_, "FT_GetBitMode", getBitMode_) &&
               resolve(library_, "FT_SetBaudRate", setBaudRate_) && resolve(library_, "FT_SetTimeouts", setTimeouts_) &&
               resolve(library_, "FT_GetDeviceInfo", getDeviceInfo_) && resolve(library_, "FT_OpenEx", openEx_) &&
               resolve(library_, "FT_SetLatencyTimer", setLatencyTimer_);
    if (!all) {
        unload();
        return false;
    }

    d2xx::Handle handle = nullptr;
    if (openEx_(const_cast<char*>(serialNumber), d2xx::kOpenBySerialNumber, &handle) != d2xx::kOk || !handle) {
        unload();
        return false;
    }
    unsigned long type = 0, id = 0;
    char serial[16] = {};
    char description[64] = {};
    if (getDeviceInfo_(handle, &type, &id, serial, description, nullptr) != d2xx::kOk || type != d2xx::kDeviceFT232H) {
        close_(handle);
        unload();
        return false;
    }

    // The board's transfers expect this configuration; a converter that
    // refuses part of it fails later at the ready line, not here.
    resetDevice_(handle);
    purge_(handle, d2xx::kPurgeRxTx);
    setTimeouts_(handle, 0, 5000);
    setBaudRate_(handle, 480000000);
    setLatencyTimer_(handle, 1);
    device_ = handle;
    return true;
}

void D2xxLink::close() {
    if (device_) close_(device_);
    device_ = nullptr;
    unload();
}

void D2xxLink::unload() {
    if (library_) plat::unloadModule(library_);
    library_ = nullptr;
}

void D2xxLink::setBitMode(std::uint8_t mask, std::uint8_t mode) { setBitMode_(device_, mask, mode); }

void D2xxLink::write(const void* data, std::uint32_t length) {
    unsigned long written = 0;
    write_(device_, const_cast<void*>(data), length, &written);
}

bool D2xxLink::waitReady() {
    constexpr unsigned char kReadyLine = 0x02;  // CBUS1
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readyTimeoutMs.load());
    for (;;) {
        unsigned char pins = 0;
        if (getBitMode_(device_, &pins) != d2xx::kOk) return false;
        if (pins & kReadyLine) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace vesk
