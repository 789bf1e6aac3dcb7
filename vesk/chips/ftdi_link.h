// The USB link of YM2610+H boards: an FT232H converter driven through
// FTDI's D2XX library, loaded at run time from where the system keeps it.
#ifndef VESK_CHIPS_FTDI_LINK_H
#define VESK_CHIPS_FTDI_LINK_H

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vesk {

// Test seams. The path of the D2XX library to load ("" restores the system
// library) and the time limit of the ready-line polling.
void setD2xxLibraryPath(const std::string& path);
void setD2xxReadyTimeout(std::chrono::milliseconds limit);

// The D2XX entry points this link uses, in the library's own types (ULONG
// and DWORD are unsigned long on both platforms' D2XX builds).
namespace d2xx {
using Status = unsigned long;
using Handle = void*;
constexpr Status kOk = 0;
constexpr unsigned long kOpenBySerialNumber = 1;
constexpr unsigned long kDeviceFT232H = 8;
constexpr unsigned long kPurgeRxTx = 3;
using CloseFn = Status(VESK_SYSAPI*)(Handle);
using WriteFn = Status(VESK_SYSAPI*)(Handle, void*, unsigned long, unsigned long*);
using ResetDeviceFn = Status(VESK_SYSAPI*)(Handle);
using PurgeFn = Status(VESK_SYSAPI*)(Handle, unsigned long);
using SetBitModeFn = Status(VESK_SYSAPI*)(Handle, unsigned char, unsigned char);
using GetBitModeFn = Status(VESK_SYSAPI*)(Handle, unsigned char*);
using SetBaudRateFn = Status(VESK_SYSAPI*)(Handle, unsigned long);
using SetTimeoutsFn = Status(VESK_SYSAPI*)(Handle, unsigned long, unsigned long);
using GetDeviceInfoFn = Status(VESK_SYSAPI*)(Handle, unsigned long*, unsigned long*, char*, char*, void*);
using OpenExFn = Status(VESK_SYSAPI*)(void*, unsigned long, Handle*);
using SetLatencyTimerFn = Status(VESK_SYSAPI*)(Handle, unsigned char);
}  // namespace d2xx

class D2xxLink {
public:
    D2xxLink() = default;
    ~D2xxLink() { close(); }
    D2xxLink(const D2xxLink&) = delete;
    D2xxLink& operator=(const D2xxLink&) = delete;

    // Loads the library, opens the converter with this serial number, checks
    // that it is an FT232H and configures it for the transfers. On any
    // failure nothing stays open or loaded and the result is false.
    bool open(const char* serialNumber);
    // Closes the device and unloads the library; nothing when not open.
    void close();
    bool isOpen() const { return device_ != nullptr; }

    // The statuses of these two are not used by the transfer.
    void setBitMode(std::uint8_t mask, std::uint8_t mode);
    void write(const void* data, std::uint32_t length);
    // Polls the CBUS pins until the board raises its ready line (CBUS1).
    // False when reading the pins fails or the line stays low for the time
    // limit (setD2xxReadyTimeout; 5 s by default).
    bool waitReady();

private:
    void unload();

    plat::Module library_ = nullptr;
    d2xx::Handle device_ = nullptr;
    d2xx::CloseFn close_ = nullptr;
    d2xx::WriteFn write_ = nullptr;
    d2xx::ResetDeviceFn resetDevice_ = nullptr;
    d2xx::PurgeFn purge_ = nullptr;
    d2xx::SetBitModeFn setBitMode_ = nullptr;
    d2xx::GetBitModeFn getBitMode_ = nullptr;
    d2xx::SetBaudRateFn setBaudRate_ = nullptr;
    d2xx::SetTimeoutsFn setTimeouts_ = nullptr;
    d2xx::GetDeviceInfoFn getDeviceInfo_ = nullptr;
    d2xx::OpenExFn openEx_ = nullptr;
    d2xx::SetLatencyTimerFn setLatencyTimer_ = nullptr;
};

}  // namespace vesk

#endif  // VESK_CHIPS_FTDI_LINK_H
