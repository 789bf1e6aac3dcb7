// Below the portable interface, what the two platform files and the common
// part (platform_common.cpp) share: the system's socket headers and the few
// primitives the common part is written over. Only the platform layer's own
// files include it.
#ifndef VESK_PLATFORM_PLATFORM_NATIVE_H
#define VESK_PLATFORM_PLATFORM_NATIVE_H

#include "platform.h"

#if VESK_PLATFORM_WINDOWS
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <string>

namespace vesk::plat {

// SockAddr6 to and from the system's sockaddr_in6 (the same fields on both).
sockaddr_in6 toNative(const SockAddr6& a);
SockAddr6 fromNative(const sockaddr_in6& sa);

// setsockopt with an int value (Winsock takes it as char*); false on failure.
bool setIntOption(Socket s, int level, int name, int value);

// The box itself, once messageBox has found no hook: a modal box on
// Windows, a line on standard error elsewhere.
void showMessageBox(const std::string& text, const std::string& caption, void* owner);

}  // namespace vesk::plat

#endif  // VESK_PLATFORM_PLATFORM_NATIVE_H
