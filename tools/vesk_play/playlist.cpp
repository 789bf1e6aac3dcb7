#include "playlist.h"

#include <algorithm>
#include <cctype>

namespace vesk::play {

namespace {

constexpr int kMostNested = 8;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool endsWith(const std::string& s, const char* tail) {
    const std::string t = tail;
    return s.size() >= t.size() && lower(s.substr(s.size() - t.size())) == t;
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// "C:\..." and "C:/..." are absolute too, whatever system reads the list.
bool isAbsolute(const std::string& p) {
    return (!p.empty() && isSeparator(p[0])) ||
           (p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' && isSeparator(p[2]));
}

std::string folderOf(const std::string& path) {
    const std::size_t at = path.find_last_of("/\\");
    return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

bool validUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// Names in the order people number their files: case aside, then bytes.
bool nameOrder(const std::string& a, const std::string& b) {
    const std::string la = lower(a), lb = lower(b);
    return la != lb ? la < lb : a < b;
}

struct Expander {
    const FileSystem& fs;
    bool recursive;
    Playlist out;

    void argument(const std::string& path, const std::string& where, int depth) {
        switch (fs.kind(path)) {
        case plat::PathKind::Missing: out.problems.push_back(where + path + ": no such file or folder"); return;
        case plat::PathKind::Folder: folder(path, depth); return;
        default: break;
        }
        if (isPlaylistName(path))
            playlist(path, depth);
        else
            out.files.push_back(path);
    }

    void folder(const std::string& path, int depth) {
        std::vector<plat::FolderEntry> entries;
        if (!fs.list(path, entries)) {
            out.problems.push_back(path + ": the folder cannot be read");
            return;
        }
        std::sort(entries.begin(), entries.end(),
                  [](const plat::FolderEntry& a, const plat::FolderEntry& b) { return nameOrder(a.name, b.name); });
        const std::string base = isSeparator(path.back()) ? path : path + fs.separator;
        for (const plat::FolderEntry& e : entries)
            if (!e.folder && isSongName(e.name)) out.files.push_back(base + e.name);
        if (!recursive || depth >= kMostNested) return;
        for (const plat::FolderEntry& e : entries)
            if (e.folder) folder(base + e.name, depth + 1);
    }

    void playlist(const std::string& path, int depth) {
        std::string text;
        plat::FileError why = plat::FileError::Other;
        if (!fs.read(path, text, &why)) {
            out.problems.push_back(path + (why == plat::FileError::Denied ? ": not allowed to read it"
                                                                           : ": the playlist cannot be read"));
            return;
        }
        if (depth >= kMostNested) {
            out.problems.push_back(path + ": playlists nested too deep; skipped");
            return;
        }
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
        const std::string base = folderOf(path);
        std::size_t lineNo = 0;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            std::string line = text.substr(at, end - at);
            at = end + 1;
            ++lineNo;
            const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
            line.erase(line.begin(), std::find_if(line.begin(), line.end(), notSpace));
            line.erase(std::find_if(line.rbegin(), line.rend(), notSpace).base(), line.end());
            if (line.empty() || line[0] == '#') continue;
            const std::string where = path + " line " + std::to_string(lineNo) + ": ";
            if (!validUtf8(line)) {
                out.problems.push_back(where + "not UTF-8 text; skipped");
                continue;
            }
            std::string entry = isAbsolute(line) ? line : base + line;
            for (char& c : entry)
                if (isSeparator(c)) c = fs.separator;
            argument(entry, where, depth + 1);
        }
    }
};

}  // namespace

bool isPlaylistName(const std::string& path) { return endsWith(path, ".m3u") || endsWith(path, ".m3u8"); }
bool isSongName(const std::string& path) { return endsWith(path, ".vgm") || endsWith(path, ".vgz"); }

FileSystem FileSystem::system() {
    FileSystem fs;
    fs.kind = plat::pathKind;
    fs.list = plat::listFolder;
    fs.read = [](const std::string& p, std::string& out, plat::FileError* why) { return plat::readFile(p, out, why); };
#ifdef _WIN32
    fs.separator = '\\';
#endif
    return fs;
}

Playlist expand(const std::vector<std::string>& arguments, bool recursive, const FileSystem& fs) {
    Expander x{fs, recursive, {}};
    for (const std::string& a : arguments) x.argument(a, "", 0);
    return std::move(x.out);
}

}  // namespace vesk::play
