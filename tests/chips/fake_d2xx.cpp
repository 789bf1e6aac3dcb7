// A stand-in for the D2XX library: the eleven entry points the YM2610+H
// link uses, recording every call as a line of text, with a converter whose
// CBUS1 "ready" pin the test drives. Built as its own shared library so the
// link loads it exactly as it loads the vendor's.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.h"

#ifndef FAKE_D2XX_EXPORT
#define FAKE_D2XX_EXPORT
#endif

namespace {

std::mutex mutex;
std::string log;
std::string lastLine;
std::string serialNumber = "FAKE0001";
unsigned long deviceType = 8;
int readyMode = 1;  // 0 never, 1 always, 2 when the gate is open
bool gateOpen = false;
int openHandles = 0;
int handleToken;

void record(const std::string& line) {
    // Consecutive polls of the pins collapse into one line.
    if (line == lastLine && line.rfind("GetBitMode", 0) == 0) return;
    log += line;
    log += '\n';
    lastLine = line;
}

std::string hex(const unsigned char* p, unsigned long n) {
    std::string s;
    char b[4];
    for (unsigned long i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- control

FAKE_D2XX_EXPORT void fake_d2xx_reset(const char* serial, unsigned long type) {
    std::lock_guard<std::mutex> lock(mutex);
    log.clear();
    lastLine.clear();
    serialNumber = serial;
    deviceType = type;
    readyMode = 1;
    gateOpen = false;
}

FAKE_D2XX_EXPORT void fake_d2xx_ready_mode(int mode) {
    std::lock_guard<std::mutex> lock(mutex);
    readyMode = mode;
}

FAKE_D2XX_EXPORT void fake_d2xx_open_gate(int open) {
    std::lock_guard<std::mutex> lock(mutex);
    gateOpen = open != 0;
}

FAKE_D2XX_EXPORT int fake_d2xx_open_handles() {
    std::lock_guard<std::mutex> lock(mutex);
    return openHandles;
}

// Copies the log (one call a line) into out; returns its full length.
FAKE_D2XX_EXPORT int fake_d2xx_log(char* out, int capacity) {
    std::lock_guard<std::mutex> lock(mutex);
    if (out && capacity > 0) {
        std::size_t n = std::min<std::size_t>(log.size(), static_cast<std::size_t>(capacity - 1));
        std::memcpy(out, log.data(), n);
        out[n] = 0;
    }
    return static_cast<int>(log.size());
}

// ---------------------------------------------------------------- D2XX

FAKE_D2XX_EXPORT unsigned long VESK_SYSAPI FT_OpenEx(void* arg, unsigned long flags, void** handle) {
    std::lock_guard<std::mutex> lock(mutex);
    const char* serial = static_cast<const char*>(arg);
    record("OpenEx " + std::string(serial) + " " + std::to_string(flags));
    if (flags != 1 || serialNumber != serial) return 2;  // device not found
    ++openHandles;
    *handle = &handleToken;
    return 0;
}

FAKE_D2XX_EXPORT unsigned long VESK_SYSAPI FT_GetDeviceInfo(void* h, unsigned long* type, unsigned long* id,
                                                            char* serial, char* description, void*) {
    std::lock_guard<std::mutex> lock(mutex);
    record("GetDeviceInfo");
    if (h != &handleToken) return 1;
    *type = deviceType;
    *id = 0x04036014;
    std::strncpy(serial, serialNumber.c_str(), 15);
    std::strncpy(description, "fake converter", 63);
    return 0;
}

FAKE_D2XX_EXPORT unsigned long VESK_SYSAPI FT_Close(void* h) {
    std::lock_guard<std::mutex> lock(mutex);
    record("Close");
    if (h != &handleToken) return 1;
    --openHandles;
    return 0;
}

FAKE_D2XX_EXPORT unsigned long VESK_SYSAPI FT_ResetDevice(void*) {
    std::lock_guard<std::mutex> lock(mutex);
    record("ResetDevice");
    return 0;
}

FAKE_D2XX_EXPORT unsigned long VESK_SYSAPI FT_Purge(void*, unsigned long mask) {
    std::lock_guard<std::mutex> lock(mutex);
    record("Purge " + std::to_string(mask));
    return 0;
}

FAKE_D2XX_EXPORT unsigned long VESK_SYSAPI FT_SetTimeouts(void*, unsigned long readMs, unsigned long writeMs) {
    std::lock_guard<std::mutex> lock(mutex);
    record("SetTimeouts " + std::to_string(readMs) + " " + std::to_string(writeMs));
    return 0;
}

FAKE_D2XX_EXPORT unsigned long VESK_SYSAPI FT_SetBaudRate(void*, unsigned long baud) {
    std::lock_guard<std::mutex> lock(mutex);
    record("SetBaudRate " + std::to_string(baud));
    return 0;
}

FAKE_D2XX_EXPORT unsigned long VESK_SYSAPI FT_SetLatencyTimer(void*, unsigned char ms) {
    std::lock_guard<std::mutex> lock(mutex);
    record("SetLatencyTimer " + std::to_string(ms));
    return 0;
}

FAKE_D2XX_EXPORT unsigned long VESK_SYSAPI FT_SetBitMode(void*, unsigned char mask, unsigned char mode) {
    std::lock_guard<std::mutex> lock(mutex);
    record("SetBitMode " + hex(&mask, 1) + " " + hex(&mode, 1));
    return 0;
}

FAKE_D2XX_EXPORT unsigned long VESK_SYSAPI FT_GetBitMode(void*, unsigned char* pins) {
    std::lock_guard<std::mutex> lock(mutex);
    bool ready = readyMode == 1 || (readyMode == 2 && gateOpen);
    // Other pins carry noise the link must ignore.
    *pins = static_cast<unsigned char>(ready ? 0xF3 : 0xF1);
    record(ready ? "GetBitMode ready" : "GetBitMode low");
    return 0;
}

// Short writes are logged in full, long ones by length and FNV-1a hash.
FAKE_D2XX_EXPORT unsigned long VESK_SYSAPI FT_Write(void*, void* data, unsigned long length, unsigned long* written) {
    std::lock_guard<std::mutex> lock(mutex);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    if (length <= 8) {
        record("Write " + hex(p, length));
    } else {
        std::uint32_t h = 2166136261u;
        for (unsigned long i = 0; i < length; ++i) h = (h ^ p[i]) * 16777619u;
        char b[64];
        std::snprintf(b, sizeof b, "Write %lu bytes %08x", length, static_cast<unsigned>(h));
        record(b);
    }
    *written = length;
    return 0;
}

}  // extern "C"
