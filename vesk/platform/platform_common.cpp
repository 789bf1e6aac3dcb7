// The platform layer's portable part: what is the same on Windows and POSIX
// once the system's sockets and boxes are reached through platform_native.h.
#include "platform_native.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace vesk::plat {

sockaddr_in6 toNative(const SockAddr6& a) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(a.port);
    sa.sin6_flowinfo = htonl(a.flowInfo);
    std::memcpy(&sa.sin6_addr, a.addr, 16);
    sa.sin6_scope_id = a.scopeId;
    return sa;
}

SockAddr6 fromNative(const sockaddr_in6& sa) {
    SockAddr6 a;
    std::memcpy(a.addr, &sa.sin6_addr, 16);
    a.port = ntohs(sa.sin6_port);
    a.flowInfo = ntohl(sa.sin6_flowinfo);
    a.scopeId = sa.sin6_scope_id;
    return a;
}

bool bindSocket(Socket s, const SockAddr6& addr) { return bindSocketStatus(s, addr) == BindStatus::Bound; }

bool setReuseAddr(Socket s, bool on) { return setIntOption(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }

bool setV6Only(Socket s, bool on) { return setIntOption(s, IPPROTO_IPV6, IPV6_V6ONLY, on ? 1 : 0); }

bool setSendBufferSize(Socket s, std::uint32_t bytes) {
    return setIntOption(s, SOL_SOCKET, SO_SNDBUF, static_cast<int>(bytes));
}

bool setRecvBufferSize(Socket s, std::uint32_t bytes) {
    return setIntOption(s, SOL_SOCKET, SO_RCVBUF, static_cast<int>(bytes));
}

std::vector<SockAddr6> resolvePassive(const std::string& host, std::uint16_t port) {
    std::vector<SockAddr6> out;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    std::string service = port ? std::to_string(port) : std::string();
    addrinfo* res = nullptr;
    if (getaddrinfo(host.empty() ? nullptr : host.c_str(), port ? service.c_str() : nullptr, &hints, &res) != 0)
        return out;
    for (addrinfo* a = res; a; a = a->ai_next)
        if (a->ai_family == AF_INET6) out.push_back(fromNative(*reinterpret_cast<sockaddr_in6*>(a->ai_addr)));
    freeaddrinfo(res);
    return out;
}

void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return;
        std::this_thread::sleep_for(deadline - now);
    }
}

namespace {

std::mutex g_hookMutex;
MessageHook g_hook;

}  // namespace

void messageBox(const std::string& text, const std::string& caption, void* owner) {
    MessageHook hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        hook = g_hook;
    }
    if (hook) {
        hook(text, caption);
        return;
    }
    showMessageBox(text, caption, owner);
}

void setMessageHook(MessageHook hook) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_hook = std::move(hook);
}

namespace {

std::mutex g_logMutex;
std::string g_logPath;  // under g_logMutex
std::atomic<bool> g_logOn{false};

}  // namespace

void setLogFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logPath = path;
    g_logOn.store(!path.empty());
}

bool logEnabled() { return g_logOn.load(std::memory_order_relaxed); }

void logLine(const std::string& text) {
    if (!logEnabled()) return;
    std::string line = localTimeStamp() + " " + text + "\n";
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (!g_logPath.empty()) appendFile(g_logPath, line);
}

}  // namespace vesk::plat
