// The thin OS layer. Everything that differs between Windows and POSIX lives
// behind these functions; platform_win.cpp and platform_posix.cpp implement
// them and the build picks one, and platform_common.cpp holds what is the
// same on both over the primitives of platform_native.h. This header holds
// the project's only platform switch. OS errors are translated here, once, into the results
// below; callers never see errno or WSAGetLastError.
#ifndef VESK_PLATFORM_PLATFORM_H
#define VESK_PLATFORM_PLATFORM_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#define VESK_PLATFORM_WINDOWS 1
// Calling convention of functions exported by system-style C libraries
// (stdcall on 32-bit Windows; the x64 compiler ignores it).
#define VESK_SYSAPI __stdcall
// The library shows notification-area icons (vesk/tray, Windows only).
#define VESK_PLATFORM_HAS_TRAY 1
#else
#define VESK_PLATFORM_HAS_TRAY 0
#define VESK_PLATFORM_POSIX 1
#define VESK_SYSAPI
#endif

namespace vesk::plat {

// ---------------------------------------------------------------- sockets

using Socket = std::uintptr_t;
constexpr Socket kInvalidSocket = ~static_cast<Socket>(0);

// An IPv6 socket address in host terms. port is in host byte order.
struct SockAddr6 {
    std::uint8_t addr[16] = {};
    std::uint16_t port = 0;
    std::uint32_t flowInfo = 0;
    std::uint32_t scopeId = 0;
};

// Winsock 2.2 start-up / clean-up; POSIX: nothing to do, netStartup is true.
bool netStartup();
void netCleanup();

// A UDP/IPv6 datagram socket, or kInvalidSocket.
Socket udp6Socket();
void closeSocket(Socket s);

// The socket options the library sets, each true on success.
bool setV6Only(Socket s, bool on);
// IPV6_PROTECTION_LEVEL where the OS has it; true (and nothing done) where not.
bool setProtectionLevel(Socket s, int level);
bool setReuseAddr(Socket s, bool on);
bool setRecvTimeoutMs(Socket s, std::uint32_t ms);
bool setSendBufferSize(Socket s, std::uint32_t bytes);
// SO_RCVBUF; the OS may cap it (Linux: net.core.rmem_max).
bool setRecvBufferSize(Socket s, std::uint32_t bytes);

// Binds to addr. A link-local address given with scope 0 is bound to the
// interface that owns it (Windows does this itself; POSIX needs the index).
bool bindSocket(Socket s, const SockAddr6& addr);
// bindSocket telling why it failed: InUse when another socket holds the
// address and port (EADDRINUSE; Windows also WSAEACCES, an exclusive holder).
enum class BindStatus { Bound, InUse, Error };
BindStatus bindSocketStatus(Socket s, const SockAddr6& addr);

// Sends one datagram. Returns the byte count or -1.
int sendTo(Socket s, const void* data, std::size_t len, const SockAddr6& to);

enum class SendStatus { Sent, NoBuffer, Error };
// Sends one datagram without waiting for buffer space. NoBuffer: the system
// has no room for it now (ENOBUFS, EAGAIN / WSAENOBUFS, WSAEWOULDBLOCK), so a
// later try may pass; Error: anything else, an invalid socket included.
SendStatus trySendTo(Socket s, const void* data, std::size_t len, const SockAddr6& to);

enum class RecvStatus { Ok, TimedOut, Error };
struct RecvResult {
    RecvStatus status = RecvStatus::Error;
    std::size_t length = 0;  // bytes received when Ok
    SockAddr6 from;
};
// Receives one datagram of at most capacity bytes. A datagram longer than
// capacity is an Error (as with Winsock's WSAEMSGSIZE), on every platform.
RecvResult recvFrom(Socket s, void* buf, std::size_t capacity);

enum class WaitStatus { Ready, TimedOut, Error };
// Waits until s is readable or timeoutUs has passed. An invalid socket is an
// Error at once, on every platform (poll would otherwise sleep out the time).
WaitStatus waitReadable(Socket s, std::int64_t timeoutUs);
// The same for room to send.
WaitStatus waitWritable(Socket s, std::int64_t timeoutUs);

// getaddrinfo with AI_PASSIVE, AF_INET6, SOCK_DGRAM, IPPROTO_UDP. port 0
// passes no service. An empty host resolves to the unspecified address.
std::vector<SockAddr6> resolvePassive(const std::string& host, std::uint16_t port);

// Standard IPv6 text, lower case, "::" compression, no scope suffix.
std::string addrToText(const std::uint8_t addr[16]);
// Parses a standard IPv6 text (no scope); false on malformed text.
bool textToAddr(const std::string& text, std::uint8_t addr[16]);

// ---------------------------------------------------------------- links

// Interface types as the IP helper reports them.
constexpr int kIfTypeEthernet = 6;
constexpr int kIfTypeIeee80211 = 71;

struct AdapterInfo {
    int ifType = 0;                     // kIfTypeEthernet, kIfTypeIeee80211, or other
    std::vector<std::string> unicast;   // IPv6 address texts, system order
    std::vector<std::string> gateways;  // IPv6 gateway texts, system order
};
// The host's adapters in system order, IPv6 view. Empty on failure.
std::vector<AdapterInfo> listAdapters();

// ---------------------------------------------------------------- time

// 1 ms system timer resolution while the library runs (Windows only).
void timerResolutionBegin();
void timerResolutionEnd();

// Sleeps until deadline on the steady clock; never returns before it.
// (MinGW's sleep_until can wake up to 1 ms early, so this re-checks.)
void sleepUntil(std::chrono::steady_clock::time_point deadline);
// Like sleepUntil, but returns within tens of microseconds after deadline
// when the thread keeps its core: sleeps until kPreciseSpinUs before it
// (Windows: on a high-resolution waitable timer where the system has one),
// then spins for the rest, costing that much CPU per call.
void sleepUntilPrecise(std::chrono::steady_clock::time_point deadline);
extern const std::int64_t kPreciseSpinUs;

// ---------------------------------------------------------------- modules

using Module = void*;
// Loads a shared library by full path (UTF-8). null on failure.
Module loadModule(const std::string& path);
void* findSymbol(Module m, const char* name);
void unloadModule(Module m);
// Handle and full path (UTF-8) of the module containing addr.
Module moduleOf(const void* addr);
std::string modulePath(const void* addr);
// Directory part of a module path, keeping its trailing separator
// ("C:\x\vesk.dll" -> "C:\x\"; "C:\vesk.dll" -> "C:\").
std::string directoryOf(const std::string& path);
// File name of a library as the platform spells it: "vesk" ->
// "vesk.dll" / "libvesk.so"; "tap_switch" -> "tap_switch.dll" / "libtap_switch.so".
std::string sharedLibraryName(const std::string& base);
// The system library directory (Windows: GetSystemDirectoryW); empty on POSIX.
std::string systemDirectory();
// Where a vendor library installed system-wide is loaded from: Windows,
// systemDirectory() + "\\" + base + ".dll" (empty when the system directory is
// unknown); POSIX, the bare "lib" + base + ".so", which the dynamic loader
// looks up in its own search path.
std::string systemLibraryPath(const std::string& base);

// Why a file could not be read.
enum class FileError { None, Missing, Denied, Folder, Other };
// Reads a whole file by UTF-8 path. false when it cannot be opened or read;
// then *why (when given) says why.
bool readFile(const std::string& path, std::string& out, FileError* why = nullptr);

enum class PathKind { Missing, File, Folder, Other };
// What path names (Missing also when it cannot be looked at).
PathKind pathKind(const std::string& path);

struct FolderEntry {
    std::string name;  // UTF-8, without the folder
    bool folder = false;
};
// The entries of a folder, "." and ".." left out, in no particular order;
// false when it cannot be listed.
bool listFolder(const std::string& path, std::vector<FolderEntry>& out);

// True when path names an existing regular file.
bool fileExists(const std::string& path);

// Appends text to the file at path (UTF-8), creating it; false when it could
// not be opened or written whole.
bool appendFile(const std::string& path, const std::string& text);
// The local wall-clock time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string localTimeStamp();

// ---------------------------------------------------------------- log

// The library's optional log: while a file is set, logLine appends
// "<localTimeStamp()> <text>\n" to it, from any thread (lines never
// interleave). Off (the default) it costs one atomic load. A line that
// cannot be written is dropped.
void setLogFile(const std::string& path);  // empty: off
bool logEnabled();
void logLine(const std::string& text);

// ---------------------------------------------------------------- user

// Shows a modal OK box; returns when dismissed. owner is the window the box
// belongs to (an HWND on Windows: the box stays in front of it and the
// window takes no input meanwhile), or none. Text and caption are UTF-8 and
// are shown as Unicode on Windows. POSIX writes "caption: text" to standard
// error instead.
void messageBox(const std::string& text, const std::string& caption, void* owner = nullptr);
// Test seam: while set, messageBox calls the hook instead of showing anything.
using MessageHook = std::function<void(const std::string& text, const std::string& caption)>;
void setMessageHook(MessageHook hook);

// Number of threads of the calling process (tests check that none is left).
int processThreadCount();
// Open handles of the calling process: file descriptors on POSIX (sockets
// included), kernel object handles on Windows. -1 when unknown.
int processHandleCount();
// Resident memory of the calling process in bytes (Windows: its working
// set); 0 when unknown. For leak checks over long runs.
std::uint64_t processResidentBytes();

// Raises the calling thread's scheduling priority for work that must wake on
// time and then spins only briefly (the transport's sender and batcher), so
// other busy programs on the machine delay it less. Not for a thread that
// spins most of the time: on one core it would starve the rest. Windows:
// THREAD_PRIORITY_TIME_CRITICAL; POSIX: the lowest real-time priority where
// the process is allowed it (see platform_posix.cpp). Best effort: false when
// nothing changed.
bool raiseThreadPriority();

// ---------------------------------------------------------------- console

// While it lives, the console shows UTF-8 output as text (Windows: output
// code page 65001). The code page belongs to the console and outlives the
// program, so the end of the scope puts back the one it found. Nothing to
// do on POSIX, where terminals take UTF-8. A console program holds one in
// main for its whole run.
class ConsoleUtf8 {
public:
    ConsoleUtf8();
    ~ConsoleUtf8();
    ConsoleUtf8(const ConsoleUtf8&) = delete;
    ConsoleUtf8& operator=(const ConsoleUtf8&) = delete;

private:
    [[maybe_unused]] unsigned previous_ = 0;  // Windows: the code page to put back, 0 for none
};
// The console's output code page; 0 without a console, and on POSIX.
unsigned consoleOutputCodePage();
// Waits for the user at the console: Windows runs the shell's "pause";
// POSIX prints a prompt and waits for Enter (or end of input).
void waitForKey();
// True when standard output is a terminal (a console on Windows).
bool stdoutIsTerminal();

// Keys pressed at the console, read without waiting and without echo, for a
// program that goes on while the user presses keys. While one lives, the
// terminal's input is raw (POSIX: no line editing, no echo, VMIN 0; Ctrl-C
// still interrupts; Windows: no line input, no echo, Ctrl-C processed, and a
// thread of its own waits for the console's input); its
// end puts back what it found. Without a terminal (or console) on standard
// input it does nothing and read gives kNoKey.
constexpr int kNoKey = 0;
constexpr int kKeyLeft = 0x110000;  // past any character
constexpr int kKeyRight = 0x110001;
class ConsoleKeys {
public:
    ConsoleKeys();
    ~ConsoleKeys();
    ConsoleKeys(const ConsoleKeys&) = delete;
    ConsoleKeys& operator=(const ConsoleKeys&) = delete;
    bool active() const { return active_; }
    // The next key pressed: its character (a letter, ' '), kKeyLeft or
    // kKeyRight; kNoKey when none is waiting. Other keys are passed over.
    int read();

private:
    struct Reader;  // Windows: the thread that waits for the console's keys
    bool active_ = false;
    [[maybe_unused]] unsigned long saved_[16] = {};  // the terminal's settings to put back
    std::unique_ptr<Reader> reader_;
    [[maybe_unused]] std::string pending_;  // POSIX: bytes of a key not all read yet
};

// Interrupts of a console program: Ctrl-C, Ctrl-Break and (Windows) the
// console window being closed; SIGINT, SIGTERM and SIGHUP (POSIX). After
// catchInterrupts, each sets the flag interruptRequested reads and the
// program goes on. A Windows console close ends the process once the handler
// returns, so the handler waits (at most 4 s, inside the system's 5 s) for
// interruptFinished.
void catchInterrupts();
bool interruptRequested();
void interruptFinished();
// Exit code of a program ended by Ctrl-C: 130 (128 + SIGINT) on POSIX,
// STATUS_CONTROL_C_EXIT on Windows.
int interruptExitCode();

}  // namespace vesk::plat

#endif  // VESK_PLATFORM_PLATFORM_H
