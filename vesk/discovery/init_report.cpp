#include "discovery/init_report.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace vesk {

namespace {

std::mutex g_publishedMutex;
std::string g_published;  // under g_publishedMutex

}  // namespace

void InitReport::add(const std::string& reason) {
    reasons_.push_back(reason);
    plat::logLine("problem: " + reason);
}

std::string InitReport::text() const {
    std::string out;
    for (const auto& r : reasons_) {
        if (!out.empty()) out += '\n';
        out += r;
    }
    return out;
}

std::uint32_t copyReportText(const std::string& text, char* out, std::uint32_t capacity) {
    if (out && capacity > 0) {
        std::size_t n = std::min<std::size_t>(text.size(), capacity - 1);
        // Back off over continuation bytes so that the cut falls before a
        // character, never inside it.
        if (n < text.size())
            while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return static_cast<std::uint32_t>(text.size());
}

void publishInitReport(const InitReport& report) {
    std::string text = report.text();
    std::lock_guard<std::mutex> lock(g_publishedMutex);
    g_published.swap(text);
}

std::string publishedInitReport() {
    std::lock_guard<std::mutex> lock(g_publishedMutex);
    return g_published;
}

}  // namespace vesk
