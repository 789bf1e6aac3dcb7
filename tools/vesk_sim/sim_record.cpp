#include "sim_record.h"

#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>

namespace vesk::sim {

std::string toHex(const std::uint8_t* data, std::size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(len * 2);
    for (std::size_t i = 0; i < len; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

namespace {
void appendQuoted(std::string& line, const std::string& v) {
    line += '"';
    for (unsigned char c : v) {
        if (c == '"' || c == '\\') {
            line += '\\';
            line += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            // Names come from the configuration and may hold anything;
            // UTF-8 passes through.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            line += buf;
        } else {
            line += static_cast<char>(c);
        }
    }
    line += '"';
}
}  // namespace

RecordLine::RecordLine(std::ostream* out, const char* type) : out_(out) {
    if (!out_) return;
    line_ = "{\"type\":\"";
    line_ += type;
    line_ += '"';
}

RecordLine::~RecordLine() {
    if (!out_) return;
    line_ += "}\n";
    out_->write(line_.data(), static_cast<std::streamsize>(line_.size()));
}

RecordLine& RecordLine::str(const char* key, const std::string& value) {
    if (!out_) return *this;
    line_ += ",\"";
    line_ += key;
    line_ += "\":";
    appendQuoted(line_, value);
    return *this;
}

RecordLine& RecordLine::num(const char* key, std::int64_t value) {
    if (!out_) return *this;
    line_ += ",\"";
    line_ += key;
    line_ += "\":";
    line_ += std::to_string(value);
    return *this;
}

RecordLine& RecordLine::flag(const char* key, bool value) {
    if (!out_) return *this;
    line_ += ",\"";
    line_ += key;
    line_ += value ? "\":true" : "\":false";
    return *this;
}

RecordLine& RecordLine::hex(const char* key, const std::uint8_t* data, std::size_t len) {
    return str(key, toHex(data, len));
}

std::string RecordEntry::str(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

std::int64_t RecordEntry::num(const std::string& key, std::int64_t otherwise) const {
    auto it = fields.find(key);
    if (it == fields.end() || it->second.empty()) return otherwise;
    char* end = nullptr;
    long long v = std::strtoll(it->second.c_str(), &end, 10);
    return *end ? otherwise : v;
}

std::vector<std::uint8_t> RecordEntry::bytes(const std::string& key) const {
    std::string h = str(key);
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::strtoul(h.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

namespace {
// Parses the flat objects RecordLine writes: string, integer and boolean
// values only.
bool parseLine(const std::string& s, RecordEntry& e) {
    std::size_t i = 0;
    auto skip = [&] {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r')) ++i;
    };
    auto quoted = [&](std::string& out) {
        if (i >= s.size() || s[i] != '"') return false;
        ++i;
        while (i < s.size() && s[i] != '"') {
            if (s[i] == '\\') {
                if (++i >= s.size()) return false;
                if (s[i] == 'u') {
                    if (i + 4 >= s.size()) return false;
                    out += static_cast<char>(std::strtoul(s.substr(i + 1, 4).c_str(), nullptr, 16));
                    i += 5;
                    continue;
                }
            }
            out += s[i++];
        }
        if (i >= s.size()) return false;
        ++i;
        return true;
    };
    skip();
    if (i >= s.size() || s[i++] != '{') return false;
    skip();
    if (i < s.size() && s[i] == '}') return true;
    for (;;) {
        skip();
        std::string key, value;
        if (!quoted(key)) return false;
        skip();
        if (i >= s.size() || s[i++] != ':') return false;
        skip();
        if (i < s.size() && s[i] == '"') {
            if (!quoted(value)) return false;
        } else {
            std::size_t start = i;
            while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ' ') ++i;
            value = s.substr(start, i - start);
            if (value.empty()) return false;
        }
        e.fields[key] = value;
        skip();
        if (i >= s.size()) return false;
        if (s[i] == ',') {
            ++i;
            continue;
        }
        if (s[i] == '}') return true;
        return false;
    }
}
}  // namespace

bool readRecord(std::istream& in, std::vector<RecordEntry>& out, std::string* error) {
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty()) continue;
        RecordEntry e;
        if (!parseLine(line, e)) {
            if (in.eof()) break;  // last line still being written
            if (error) *error = "record line " + std::to_string(number) + " is not a flat JSON object";
            return false;
        }
        out.push_back(std::move(e));
    }
    return true;
}

bool readRecordFile(const std::string& path, std::vector<RecordEntry>& out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": cannot be read";
        return false;
    }
    return readRecord(in, out, error);
}

std::map<std::string, BoardSummary> summarize(const std::vector<RecordEntry>& entries) {
    std::map<std::string, BoardSummary> out;
    for (const auto& e : entries) {
        std::string t = e.type();
        if (t == "start") {
            out[e.str("board")];
        } else if (t == "datagram") {
            auto& b = out[e.str("board")];
            ++b.datagrams;
            b.bytes += e.num("len", 0);
            if (e.flag("silent")) ++b.silent;
            if (e.flag("overflow")) ++b.overflow;
        } else if (t == "command") {
            auto& b = out[e.str("board")];
            std::string name = e.str("name");
            ++b.commands[name];
            if (e.has("slot")) ++b.slots[static_cast<int>(e.num("slot"))][name];
            if (e.str("status") != "ok") ++b.statuses[e.str("status")];
        } else if (t == "reply") {
            ++out[e.str("board")].replies[e.str("fate")];
        }
    }
    return out;
}

std::string formatEntry(const RecordEntry& e) {
    std::ostringstream s;
    std::string t = e.type();
    auto rest = [&](std::initializer_list<const char*> skip) {
        for (const auto& kv : e.fields) {
            bool skipped = kv.first == "type";
            for (const char* k : skip) skipped = skipped || kv.first == k;
            if (!skipped) s << " " << kv.first << "=" << kv.second;
        }
    };
    if (t == "datagram") {
        s << e.str("arrival_ns") << " " << (e.str("board").empty() ? "-" : e.str("board")) << " <- [" << e.str("from")
          << "]:" << e.str("from_port") << " #" << e.str("seq") << " " << e.str("bytes");
        rest({"arrival_ns", "board", "from", "from_port", "seq", "bytes"});
    } else if (t == "command") {
        s << e.str("replay_ns") << " " << e.str("board") << "   #" << e.str("seq") << "." << e.str("index") << " "
          << e.str("name") << " " << e.str("bytes");
        rest({"replay_ns", "board", "seq", "index", "name", "bytes", "code"});
    } else if (t == "reply") {
        s << e.str("send_ns") << " " << e.str("board") << " -> [" << e.str("to") << "]:" << e.str("to_port") << " #"
          << e.str("seq") << " " << e.str("tag") << " " << e.str("fate") << " " << e.str("bytes");
    } else {
        s << t;
        rest({});
    }
    return s.str();
}

std::string formatSummary(const std::map<std::string, BoardSummary>& sum) {
    std::ostringstream s;
    for (const auto& kv : sum) {
        const BoardSummary& b = kv.second;
        s << "board " << (kv.first.empty() ? "(none)" : kv.first) << ": " << b.datagrams << " datagrams, " << b.bytes
          << " bytes";
        if (b.silent) s << ", " << b.silent << " ignored while silent";
        s << "\n";
        // Always there for a board, so that a script can rely on the line.
        if (!kv.first.empty()) s << "  overflow " << b.overflow << "\n";
        for (const auto& c : b.commands) s << "  " << c.first << " " << c.second << "\n";
        for (const auto& sl : b.slots) {
            s << "  slot " << sl.first << ":";
            for (const auto& c : sl.second) s << " " << c.first << " " << c.second;
            s << "\n";
        }
        for (const auto& st : b.statuses) s << "  malformed " << st.first << " " << st.second << "\n";
        if (!b.replies.empty()) {
            s << "  replies:";
            for (const auto& r : b.replies) s << " " << r.first << " " << r.second;
            s << "\n";
        }
    }
    return s.str();
}

}  // namespace vesk::sim
