#include "report.h"

#include <cinttypes>
#include <cstdio>

namespace vesk::play {

namespace {

std::string jsonText(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

// threadsBefore / threadsAfter: the process's threads before init and after
// release (-1 when the system cannot tell): equal unless release left one.
void writeReport(const std::string& path, const std::vector<FileResult>& results, const Boards& found,
                 int threadsBefore, int threadsAfter) {
    std::string j = "{\n  \"threads\": {\"before_init\": " + std::to_string(threadsBefore) +
                    ", \"after_release\": " + std::to_string(threadsAfter) + "},\n  \"files\": [";
    for (std::size_t f = 0; f < results.size(); ++f) {
        const FileResult& r = results[f];
        j += f ? ",\n    {" : "\n    {";
        j += "\"file\": " + jsonText(r.path) + ", \"ok\": " + (r.ok ? "true" : "false");
        if (!r.error.empty()) j += ", \"error\": " + jsonText(r.error);
        j += ", \"interrupted\": " + std::string(r.interrupted ? "true" : "false");
        char num[160];
        std::snprintf(num, sizeof num, ", \"seconds\": %.3f, \"writes\": %" PRIu64, r.seconds, r.writes);
        j += num;
        j += ", \"chips\": [";
        for (std::size_t i = 0; i < r.parts.size(); ++i) {
            const Part& p = r.parts[i];
            j += i ? ", {" : "{";
            j += "\"part\": " + jsonText(std::string(vgm::chipName(p.chip)) + (p.instance ? " #2" : ""));
            if (p.record >= 0) {
                const VeskChipInfo& c = found.chips[static_cast<std::size_t>(p.record)];
                std::snprintf(num, sizeof num, ", \"slot\": %u, \"clock\": %u, \"wait_ms\": %u, \"writes\": %" PRIu64,
                              c.slot, p.clock, p.waitMs, p.writes);
                j += ", \"model\": " + jsonText(p.model) + ", \"board\": " + jsonText(p.boardName) +
                     ", \"address\": " + jsonText(text(c.address)) + num;
            } else {
                j += ", \"model\": null, \"writes\": 0";
            }
            j += "}";
        }
        j += "], \"skipped\": {";
        bool first = true;
        for (const auto& [kind, count] : r.skipped) {
            j += (first ? "" : ", ") + jsonText(kind) + ": " + std::to_string(count);
            first = false;
        }
        j += "}, \"notes\": [";
        for (std::size_t i = 0; i < r.notes.size(); ++i) j += (i ? ", " : "") + jsonText(r.notes[i]);
        std::snprintf(num, sizeof num,
                      "], \"pacing\": \"%s\", \"pacing_us\": {\"p50\": %.0f, \"p99\": %.0f, \"max\": %.0f}"
                      ", \"write_call_us\": {\"p99\": %.0f, \"max\": %.0f}}",
                      r.timed ? "timed" : "paced", r.p50, r.p99, r.worst, r.callP99, r.callWorst);
        j += num;
    }
    j += "\n  ]\n}\n";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(j.data(), 1, j.size(), f) != j.size())
        std::fprintf(stderr, "%s: cannot be written\n", path.c_str());
    if (f) std::fclose(f);
}

// --write-times: per file "file INDEX PATH", its parts "part INDEX NAME", then
// a line per write call in call order: part index, ns since the file's
// previous call (the first: the steady clock's own count), address and data
// in hex.
void writeCallTimes(const std::string& path, const std::vector<FileResult>& results) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr;
    for (std::size_t i = 0; ok && i < results.size(); ++i) {
        const FileResult& r = results[i];
        ok = std::fprintf(f, "file %zu %s\n", i, r.path.c_str()) > 0;
        for (std::size_t k = 0; ok && k < r.parts.size(); ++k)
            ok = std::fprintf(f, "part %zu %s%s\n", k, vgm::chipName(r.parts[k].chip),
                              r.parts[k].instance ? " #2" : "") > 0;
        std::int64_t last = 0;
        for (const WriteCall& c : r.calls) {
            if (!ok) break;
            ok = std::fprintf(f, "%u %" PRId64 " %x %x\n", c.part, c.ns - last, c.address, c.data) > 0;
            last = c.ns;
        }
    }
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "%s: cannot be written\n", path.c_str());
}

}  // namespace vesk::play
