// The library's exports. They sit above every layer: here the manager is
// given the tray to start where the platform has a notification area, so
// that no layer below has to know the tray.
#include <vesk/vesk.h>

#include <new>

#include "core/manager.h"
#include "discovery/init_report.h"
#include "platform/guarded.h"
#include "platform/platform.h"
#include "transport/write_time.h"
#include "vesk_version.h"
#if VESK_PLATFORM_HAS_TRAY
#include "tray/tray.h"
#endif

namespace {

#if VESK_PLATFORM_HAS_TRAY
std::unique_ptr<vesk::ManagerClient> startTray(vesk::Manager& manager) { return vesk::Tray::start(manager); }
constexpr vesk::ClientStart kTray = &startTray;
#else
constexpr vesk::ClientStart kTray = nullptr;
#endif

std::int64_t VESK_CDECL timedNow() { return vesk::writetime::now(); }
void VESK_CDECL setWriteTime(std::int64_t ns) {
    // kByCall is the library's own mark for "no time": the earliest time a
    // host can mean is one after it.
    vesk::writetime::set(ns == vesk::writetime::kByCall ? ns + 1 : ns);
}
void VESK_CDECL clearWriteTime() { vesk::writetime::set(vesk::writetime::kByCall); }

const VeskTimedWrites kTimedWrites = {sizeof(VeskTimedWrites), 1, &timedNow, &setWriteTime, &clearWriteTime};

}  // namespace

extern "C" VESK_EXPORT VeskManager* getManager(void) { return new (std::nothrow) vesk::Manager(kTray); }

extern "C" VESK_EXPORT const char* VESK_CDECL getVeskVersion(void) { return VESK_VERSION_TEXT; }

// VESK_NO_TIMED_WRITES builds the library as it was before the extension:
// the hosts' fall-back is tested against it.
#ifndef VESK_NO_TIMED_WRITES
extern "C" VESK_EXPORT const VeskTimedWrites* VESK_CDECL getTimedWrites(void) { return &kTimedWrites; }
#endif

// VESK_NO_INIT_REPORT builds the library as it was before the export, for
// the hosts' fall-back.
#ifndef VESK_NO_INIT_REPORT
extern "C" VESK_EXPORT std::uint32_t VESK_CDECL getInitReport(char* text, std::uint32_t capacity) {
    return vesk::guarded(std::uint32_t{0},
                         [&] { return vesk::copyReportText(vesk::publishedInitReport(), text, capacity); });
}
#endif
