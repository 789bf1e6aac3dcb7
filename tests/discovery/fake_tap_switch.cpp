// A stand-in for the external switch library: reports a configurable count
// and records every call as text ("num;" / "switch i s;").
#include <cstring>
#include <string>

namespace {
int g_count = 0;
std::string g_calls;
}  // namespace

extern "C" {
FAKE_EXPORT int getTapSwitchNum() {
    g_calls += "num;";
    return g_count;
}
#ifndef FAKE_TAP_PARTIAL
FAKE_EXPORT int switchTapSwitch(int index, int state) {
    g_calls += "switch " + std::to_string(index) + " " + std::to_string(state) + ";";
    return 1;
}
#endif
FAKE_EXPORT void fakeTapConfigure(int count) {
    g_count = count;
    g_calls.clear();
}
FAKE_EXPORT const char* fakeTapCalls() { return g_calls.c_str(); }
}
