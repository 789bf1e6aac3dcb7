// The library's one export. It sits above every layer: here the manager is
// given the tray to start where the platform has a notification area, so
// that no layer below has to know the tray.
#include <vesk/vesk.h>

#include <new>

#include "core/manager.h"
#include "platform/platform.h"
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

}  // namespace

extern "C" VESK_EXPORT VeskManager* getManager(void) { return new (std::nothrow) vesk::Manager(kTray); }
