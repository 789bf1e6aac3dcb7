// Windows side of the platform layer (Winsock 2, IP helper, user32).
#include "platform_native.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
#include <mmsystem.h>
#include <tlhelp32.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#ifndef IPV6_PROTECTION_LEVEL
#define IPV6_PROTECTION_LEVEL 23
#endif

namespace vesk::plat {

namespace {

std::wstring widen(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

std::string narrow(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

std::string sockaddrText(const SOCKET_ADDRESS& sa) {
    if (!sa.lpSockaddr || sa.lpSockaddr->sa_family != AF_INET6) return std::string();
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa.lpSockaddr);
    return addrToText(reinterpret_cast<const std::uint8_t*>(&in6->sin6_addr));
}

}  // namespace

bool setIntOption(Socket s, int level, int name, int value) {
    return setsockopt(static_cast<SOCKET>(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool netStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void netCleanup() { WSACleanup(); }

Socket udp6Socket() {
    SOCKET s = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

void closeSocket(Socket s) {
    if (s != kInvalidSocket) closesocket(static_cast<SOCKET>(s));
}

bool setProtectionLevel(Socket s, int level) { return setIntOption(s, IPPROTO_IPV6, IPV6_PROTECTION_LEVEL, level); }

bool setRecvTimeoutMs(Socket s, std::uint32_t ms) {
    DWORD v = ms;  // Winsock takes a DWORD of milliseconds, not a timeval
    return setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v), sizeof v) ==
           0;
}

BindStatus bindSocketStatus(Socket s, const SockAddr6& addr) {
    sockaddr_in6 sa = toNative(addr);
    if (bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return BindStatus::Bound;
    const int e = WSAGetLastError();
    return e == WSAEADDRINUSE || e == WSAEACCES ? BindStatus::InUse : BindStatus::Error;
}

int sendTo(Socket s, const void* data, std::size_t len, const SockAddr6& to) {
    sockaddr_in6 sa = toNative(to);
    int n = sendto(static_cast<SOCKET>(s), static_cast<const char*>(data), static_cast<int>(len), 0,
                   reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return n == SOCKET_ERROR ? -1 : n;
}

SendStatus trySendTo(Socket s, const void* data, std::size_t len, const SockAddr6& to) {
    sockaddr_in6 sa = toNative(to);
    int n = sendto(static_cast<SOCKET>(s), static_cast<const char*>(data), static_cast<int>(len), 0,
                   reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (n != SOCKET_ERROR) return SendStatus::Sent;
    int e = WSAGetLastError();
    return (e == WSAENOBUFS || e == WSAEWOULDBLOCK) ? SendStatus::NoBuffer : SendStatus::Error;
}

RecvResult recvFrom(Socket s, void* buf, std::size_t capacity) {
    RecvResult r;
    sockaddr_in6 sa{};
    int len = sizeof sa;
    int n = recvfrom(static_cast<SOCKET>(s), static_cast<char*>(buf), static_cast<int>(capacity), 0,
                     reinterpret_cast<sockaddr*>(&sa), &len);
    if (n == SOCKET_ERROR) {
        r.status = WSAGetLastError() == WSAETIMEDOUT ? RecvStatus::TimedOut : RecvStatus::Error;
        return r;
    }
    r.status = RecvStatus::Ok;
    r.length = static_cast<std::size_t>(n);
    r.from = fromNative(sa);
    return r;
}

namespace {

WaitStatus waitFor(Socket s, bool write, std::int64_t timeoutUs) {
    if (s == kInvalidSocket) return WaitStatus::Error;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(s), &set);
    if (timeoutUs < 0) timeoutUs = 0;
    timeval tv;
    tv.tv_sec = static_cast<long>(timeoutUs / 1000000);
    tv.tv_usec = static_cast<long>(timeoutUs % 1000000);
    int rc = select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &tv);
    if (rc == SOCKET_ERROR) return WaitStatus::Error;
    return rc == 0 ? WaitStatus::TimedOut : WaitStatus::Ready;
}

}  // namespace

WaitStatus waitReadable(Socket s, std::int64_t timeoutUs) { return waitFor(s, false, timeoutUs); }
WaitStatus waitWritable(Socket s, std::int64_t timeoutUs) { return waitFor(s, true, timeoutUs); }

std::string addrToText(const std::uint8_t addr[16]) {
    char buf[INET6_ADDRSTRLEN + 1] = {};
    in6_addr a;
    std::memcpy(&a, addr, 16);
    if (!inet_ntop(AF_INET6, &a, buf, sizeof buf)) return std::string();
    return buf;
}

bool textToAddr(const std::string& text, std::uint8_t addr[16]) {
    in6_addr a;
    if (inet_pton(AF_INET6, text.c_str(), &a) != 1) return false;
    std::memcpy(addr, &a, 16);
    return true;
}

std::vector<AdapterInfo> listAdapters() {
    std::vector<AdapterInfo> out;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                        GAA_FLAG_INCLUDE_PREFIX | GAA_FLAG_INCLUDE_GATEWAYS;  // 0x9E
    ULONG size = 0;
    if (GetAdaptersAddresses(AF_INET6, flags, nullptr, nullptr, &size) != ERROR_BUFFER_OVERFLOW) return out;
    std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.get());
    if (GetAdaptersAddresses(AF_INET6, flags, nullptr, first, &size) != NO_ERROR) return out;
    for (auto* a = first; a; a = a->Next) {
        AdapterInfo info;
        info.ifType = static_cast<int>(a->IfType);
        for (auto* u = a->FirstUnicastAddress; u; u = u->Next) info.unicast.push_back(sockaddrText(u->Address));
        for (auto* g = a->FirstGatewayAddress; g; g = g->Next) info.gateways.push_back(sockaddrText(g->Address));
        out.push_back(std::move(info));
    }
    return out;
}

void timerResolutionBegin() { timeBeginPeriod(1); }
void timerResolutionEnd() { timeEndPeriod(1); }

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// Even at 1 ms timer resolution a Sleep or an ordinary timer may end up to a
// whole period late; a high-resolution waitable timer (Windows 10 1803 and
// later) is better but still not tight, so both are stopped short of the
// deadline and the rest is spent spinning (not yielding: on a busy machine a
// yield gives the core away for a whole time slice).
const std::int64_t kPreciseSpinUs = 1500;

void sleepUntilPrecise(std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    // One timer per thread, made on first use; null where the system has
    // none (then plain Sleep serves).
    thread_local struct Timer {
        HANDLE h = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        ~Timer() {
            if (h) CloseHandle(h);
        }
    } timer;
    const auto wakeAt = deadline - microseconds(kPreciseSpinUs);
    auto now = steady_clock::now();
    if (now < wakeAt) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(duration_cast<nanoseconds>(wakeAt - now).count() / 100);
        if (timer.h && SetWaitableTimer(timer.h, &due, 0, nullptr, nullptr, FALSE))
            WaitForSingleObject(timer.h, INFINITE);
        else
            sleepUntil(wakeAt);
    }
    while (steady_clock::now() < deadline) YieldProcessor();
}

Module loadModule(const std::string& path) { return LoadLibraryW(widen(path).c_str()); }

void* findSymbol(Module m, const char* name) {
    return m ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m), name)) : nullptr;
}

void unloadModule(Module m) {
    if (m) FreeLibrary(static_cast<HMODULE>(m));
}

Module moduleOf(const void* addr) {
    HMODULE m = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(addr), &m);
    return m;
}

std::string modulePath(const void* addr) {
    wchar_t path[MAX_PATH] = {};  // 260 wide characters, as the library has always read it
    DWORD n = GetModuleFileNameW(static_cast<HMODULE>(moduleOf(addr)), path, MAX_PATH);
    return narrow(std::wstring(path, n));
}

std::string directoryOf(const std::string& path) {
    auto pos = path.find_last_of("\\/");
    return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string sharedLibraryName(const std::string& base) { return base + ".dll"; }

std::string systemDirectory() {
    wchar_t dir[MAX_PATH] = {};
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    return n && n < MAX_PATH ? narrow(std::wstring(dir, n)) : std::string();
}

std::string systemLibraryPath(const std::string& base) {
    std::string dir = systemDirectory();
    return dir.empty() ? std::string() : dir + "\\" + base + ".dll";
}

namespace {
FileError fileErrorOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: return FileError::Missing;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return FileError::Denied;
    default: return FileError::Other;
    }
}
}  // namespace

bool readFile(const std::string& path, std::string& out, FileError* why) {
    FileError error = FileError::None;
    const std::wstring wide = widen(path);
    // Opening a folder is refused as access denied: say what it is.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    HANDLE h = INVALID_HANDLE_VALUE;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        error = FileError::Folder;
    else
        h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (error == FileError::None && h == INVALID_HANDLE_VALUE) error = fileErrorOf(GetLastError());
    if (h != INVALID_HANDLE_VALUE) {
        out.clear();
        char buf[65536];
        DWORD n = 0;
        BOOL ok;
        while ((ok = ReadFile(h, buf, sizeof buf, &n, nullptr)) && n > 0) out.append(buf, n);
        if (!ok) error = fileErrorOf(GetLastError());
        CloseHandle(h);
    }
    if (why) *why = error;
    return error == FileError::None;
}

PathKind pathKind(const std::string& path) {
    const DWORD a = GetFileAttributesW(widen(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    return (a & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Folder : PathKind::File;
}

bool listFolder(const std::string& path, std::vector<FolderEntry>& out) {
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(widen(path + "\\*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return false;
    out.clear();
    do {
        const std::string name = narrow(data.cFileName);
        if (name == "." || name == "..") continue;
        out.push_back({name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(h, &data));
    FindClose(h);
    return true;
}

bool fileExists(const std::string& path) {
    DWORD a = GetFileAttributesW(widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool appendFile(const std::string& path, const std::string& text) {
    FILE* f = _wfopen(widen(path).c_str(), L"ab");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

std::string localTimeStamp() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond, t.wMilliseconds);
    return buf;
}

void showMessageBox(const std::string& text, const std::string& caption, void* owner) {
    MessageBoxW(static_cast<HWND>(owner), widen(text).c_str(), widen(caption).c_str(), MB_OK);
}

ConsoleUtf8::ConsoleUtf8() : previous_(GetConsoleOutputCP()) {
    if (previous_ != 0 && previous_ != CP_UTF8) SetConsoleOutputCP(CP_UTF8);
}
ConsoleUtf8::~ConsoleUtf8() {
    if (previous_ != 0 && previous_ != CP_UTF8) SetConsoleOutputCP(previous_);
}
unsigned consoleOutputCodePage() { return GetConsoleOutputCP(); }

void waitForKey() {
    std::fflush(stdout);
    _wsystem(L"pause");
}

bool raiseThreadPriority() { return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0; }

int processThreadCount() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 t;
    t.dwSize = sizeof t;
    int n = 0;
    const DWORD self = GetCurrentProcessId();
    for (BOOL ok = Thread32First(snap, &t); ok; ok = Thread32Next(snap, &t))
        if (t.th32OwnerProcessID == self) ++n;
    CloseHandle(snap);
    return n;
}

namespace {
// The system's handle table, as NtQuerySystemInformation's class 64
// (SystemExtendedHandleInformation) gives it; winternl.h leaves it out.
struct HandleEntry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

// Handles of this process in the system's table; -1 when it cannot be read.
int countHandlesInSystemTable() {
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    constexpr ULONG kExtendedHandleInformation = 64;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::unique_ptr<unsigned char[]> buffer;
    LONG status = kInfoLengthMismatch;
    for (ULONG size = 1 << 16; status == kInfoLengthMismatch && size <= (1u << 26); size *= 2) {
        buffer.reset(new unsigned char[size]);
        ULONG needed = 0;
        status = query(kExtendedHandleInformation, buffer.get(), size, &needed);
    }
    if (status < 0) return -1;
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.get());
    const ULONG_PTR self = GetCurrentProcessId();
    int n = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i)
        if (table->entries[i].processId == self) ++n;
    return n;
}
}  // namespace

int processHandleCount() {
    // Wine answers GetProcessHandleCount with 0 (a process always holds
    // some handles); its system handle table has the real ones.
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n > 0) return static_cast<int>(n);
    return countHandlesInSystemTable();
}

std::uint64_t processResidentBytes() {
    // K32GetProcessMemoryInfo (kernel32 since Windows 7): no psapi.dll import.
    PROCESS_MEMORY_COUNTERS c{};
    c.cb = sizeof c;
    return K32GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c) ? c.WorkingSetSize : 0;
}

// A thread waits in ReadConsoleInputW: Wine's console on a terminal reads
// the terminal only for a read that waits, so input records asked for
// without waiting never come there. saved_[0] holds the input mode found.
struct ConsoleKeys::Reader {
    HANDLE in = nullptr;
    std::thread thread;
    std::mutex lock;
    std::vector<int> keys;  // read by the thread, not yet taken (under lock)
    std::atomic<bool> stop{false}, ended{false};

    void run() {
        INPUT_RECORD r{};
        DWORD got = 0;
        while (!stop.load() && ReadConsoleInputW(in, &r, 1, &got)) {
            if (got == 0 || r.EventType != KEY_EVENT || !r.Event.KeyEvent.bKeyDown) continue;
            const KEY_EVENT_RECORD& k = r.Event.KeyEvent;
            const int key = k.wVirtualKeyCode == VK_LEFT    ? kKeyLeft
                            : k.wVirtualKeyCode == VK_RIGHT ? kKeyRight
                                                            : static_cast<int>(k.uChar.UnicodeChar);
            if (key == kNoKey) continue;
            std::lock_guard<std::mutex> g(lock);
            keys.push_back(key);
        }
        ended.store(true);
    }
};

ConsoleKeys::ConsoleKeys() {
    DWORD mode = 0;
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(in, &mode)) return;
    saved_[0] = mode;
    if (!SetConsoleMode(in, (mode & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) | ENABLE_PROCESSED_INPUT)) return;
    reader_ = std::make_unique<Reader>();
    reader_->in = in;
    reader_->thread = std::thread([r = reader_.get()] { r->run(); });
    active_ = true;
}

ConsoleKeys::~ConsoleKeys() {
    if (!active_) return;
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    // A key release of nobody's wakes the thread from its read.
    reader_->stop.store(true);
    INPUT_RECORD wake{};
    wake.EventType = KEY_EVENT;
    DWORD written = 0;
    if (reader_->ended.load() || (WriteConsoleInputW(in, &wake, 1, &written) && written == 1)) {
        reader_->thread.join();
    } else {
        reader_->thread.detach();  // ends with the process, still reading its Reader
        reader_.release();
    }
    SetConsoleMode(in, static_cast<DWORD>(saved_[0]));
}

int ConsoleKeys::read() {
    if (!active_) return kNoKey;
    std::lock_guard<std::mutex> g(reader_->lock);
    if (reader_->keys.empty()) return kNoKey;
    const int key = reader_->keys.front();
    reader_->keys.erase(reader_->keys.begin());
    return key;
}

bool stdoutIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

namespace {
std::atomic<bool> interrupted{false};
HANDLE interruptDone = nullptr;  // set by interruptFinished

BOOL WINAPI onConsoleEvent(DWORD event) {
    interrupted.store(true);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Returning lets the system end the process: clean up first.
        if (interruptDone) WaitForSingleObject(interruptDone, 4000);
    }
    return TRUE;
}
}  // namespace

void catchInterrupts() {
    if (!interruptDone) interruptDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool interruptRequested() { return interrupted.load(); }

void interruptFinished() {
    if (interruptDone) SetEvent(interruptDone);
}

int interruptExitCode() { return static_cast<int>(0xC000013AL); }

}  // namespace vesk::plat
