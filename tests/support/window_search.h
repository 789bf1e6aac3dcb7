// This process's windows as a user sees them, for the tray suites under
// Wine: visible top-level windows found by class and caption, and a poll
// for conditions that a window's own thread makes true.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vesk::testing {

// Polls `cond` every 20 ms until it holds or `limit` has passed; returns its
// last answer.
inline bool waitFor(const std::function<bool()>& cond,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        Sleep(20);
    }
    return cond();
}

namespace detail {
struct WindowSearch {
    const wchar_t* cls;
    const std::wstring* caption;  // empty: any caption
    std::vector<HWND> found;
};
inline BOOL CALLBACK visitWindow(HWND wnd, LPARAM lp) {
    auto* s = reinterpret_cast<WindowSearch*>(lp);
    wchar_t cls[64] = {}, text[256] = {};
    GetClassNameW(wnd, cls, 64);
    GetWindowTextW(wnd, text, 256);
    DWORD pid = 0;
    GetWindowThreadProcessId(wnd, &pid);
    if (pid == GetCurrentProcessId() && IsWindowVisible(wnd) && std::wstring(cls) == s->cls &&
        (s->caption->empty() || *s->caption == text))
        s->found.push_back(wnd);
    return TRUE;
}
}  // namespace detail

// The visible top-level windows of this process of class `cls` (and of that
// caption, when one is given), in Z order.
inline std::vector<HWND> windows(const wchar_t* cls, const std::wstring& caption = L"") {
    detail::WindowSearch s{cls, &caption, {}};
    EnumWindows(detail::visitWindow, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

// The first such window, or nullptr.
inline HWND findWindow(const wchar_t* cls, const std::wstring& caption = L"") {
    auto all = windows(cls, caption);
    return all.empty() ? nullptr : all.front();
}

// The first such window once one is shown, or nullptr after `limit`.
inline HWND waitWindow(const wchar_t* cls, const std::wstring& caption = L"",
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    HWND w = nullptr;
    waitFor([&] { return (w = findWindow(cls, caption)) != nullptr; }, limit);
    return w;
}

}  // namespace vesk::testing
