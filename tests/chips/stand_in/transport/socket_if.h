// Stand-in for the transport's public surface, used only until the real
// vesk/transport/socket_if.h exists (tests/chips/CMakeLists.txt adds this
// directory to the include path only then). It declares exactly the members
// the chip code and its tests rely on; fake_socket_if.cpp implements them.
#ifndef VESK_TRANSPORT_SOCKET_IF_H
#define VESK_TRANSPORT_SOCKET_IF_H

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace vesk {

class VeskSocketIf {
public:
    VeskSocketIf(plat::Socket socket, const char* boardAddress, std::uint16_t wait, std::uint32_t bufferSize,
                 std::uint8_t idleMs, std::uint8_t gapMs);
    virtual ~VeskSocketIf();
    void push(const std::uint8_t* bytes, std::uint32_t length);
    std::uint32_t request(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                          std::uint32_t capacity, std::uint32_t extraSeconds);
    std::uint32_t getBufferSize() const;
    std::uint32_t getWaitMs() const;
    void setWaitMs(std::uint32_t ms);
    std::uint8_t getGapMs() const;
    std::atomic<bool> keepAliveEnabled;
    std::atomic<bool> dataSent;
    char boardAddress[65];
};

}  // namespace vesk

#endif  // VESK_TRANSPORT_SOCKET_IF_H
