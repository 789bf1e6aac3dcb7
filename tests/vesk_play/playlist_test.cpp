// The player's list of files from its arguments, over a file system held in
// a table: folders, playlists (relative and absolute entries, comments, either
// separator, a byte-order mark, CRLF, bad bytes), missing entries.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "playlist.h"

namespace vesk::play {
namespace {

using Strings = std::vector<std::string>;

// Paths ending in '/' are folders; the others files with their contents.
FileSystem tableFs(const std::map<std::string, std::string>& tree) {
    FileSystem fs;
    fs.kind = [tree](const std::string& p) {
        if (p.back() == '/') return tree.count(p) ? plat::PathKind::Folder : plat::PathKind::Missing;
        if (tree.count(p)) return plat::PathKind::File;
        return tree.count(p + "/") ? plat::PathKind::Folder : plat::PathKind::Missing;
    };
    fs.list = [tree](const std::string& p, std::vector<plat::FolderEntry>& out) {
        const std::string base = p.back() == '/' ? p : p + "/";
        if (!tree.count(base)) return false;
        out.clear();
        // Listed in reverse, so that the order played is the expander's own.
        for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
            const std::string& path = it->first;
            if (path.size() <= base.size() || path.compare(0, base.size(), base) != 0) continue;
            std::string rest = path.substr(base.size());
            const std::size_t slash = rest.find('/');
            if (slash == std::string::npos)
                out.push_back({rest, false});
            else if (slash == rest.size() - 1)
                out.push_back({rest.substr(0, slash), true});
        }
        return true;
    };
    fs.read = [tree](const std::string& p, std::string& out, plat::FileError* why) {
        auto it = tree.find(p);
        if (it == tree.end() || it->second == "<denied>") {
            if (why) *why = it == tree.end() ? plat::FileError::Missing : plat::FileError::Denied;
            return false;
        }
        out = it->second;
        return true;
    };
    return fs;
}

const std::map<std::string, std::string> kTree = {
    {"/music/", ""},
    {"/music/pack/", ""},
    {"/music/pack/02 Stage.vgz", ""},
    {"/music/pack/01 Title.vgz", ""},
    {"/music/pack/b.VGM", ""},
    {"/music/pack/notes.txt", ""},
    {"/music/pack/extra/", ""},
    {"/music/pack/extra/bonus.vgm", ""},
    {"/music/pack/pack.m3u", "#EXTM3U\n# a comment\n02 Stage.vgz\r\n\n  01 Title.vgz  \nmissing.vgz\n"},
    {"/music/pack/bom.m3u8", "\xEF\xBB\xBF" "extra\\bonus.vgm\n/music/pack/b.VGM\n"},
    {"/music/pack/bad.m3u", "01 Title.vgz\n\xFF\xFE.vgz\n02 Stage.vgz\n"},
    {"/music/pack/nested.m3u", "pack.m3u\nextra\n"},
    {"/music/pack/self.m3u", "self.m3u\n"},
    {"/music/pack/locked.m3u", "<denied>"},
};

TEST(Playlist, ExpandsArgumentsInOrder) {
    const struct {
        const char* name;
        Strings args;
        bool recursive;
        Strings files;
        Strings problems;
    } cases[] = {
        {"a file as named", {"/music/pack/notes.txt"}, false, {"/music/pack/notes.txt"}, {}},
        {"a missing argument", {"/nowhere.vgm", "/music/pack/b.VGM"}, false, {"/music/pack/b.VGM"},
         {"/nowhere.vgm: no such file or folder"}},
        {"a folder: its songs in name order, case aside",
         {"/music/pack"}, false, {"/music/pack/01 Title.vgz", "/music/pack/02 Stage.vgz", "/music/pack/b.VGM"}, {}},
        {"a folder, recursive",
         {"/music/pack/"}, true,
         {"/music/pack/01 Title.vgz", "/music/pack/02 Stage.vgz", "/music/pack/b.VGM", "/music/pack/extra/bonus.vgm"},
         {}},
        {"a playlist: comments, blanks, CRLF, spaces; a missing entry named with its line",
         {"/music/pack/pack.m3u"}, false, {"/music/pack/02 Stage.vgz", "/music/pack/01 Title.vgz"},
         {"/music/pack/pack.m3u line 6: /music/pack/missing.vgz: no such file or folder"}},
        {"byte-order mark, a backslash entry, an absolute entry",
         {"/music/pack/bom.m3u8"}, false, {"/music/pack/extra/bonus.vgm", "/music/pack/b.VGM"}, {}},
        {"bad bytes skip their line only",
         {"/music/pack/bad.m3u"}, false, {"/music/pack/01 Title.vgz", "/music/pack/02 Stage.vgz"},
         {"/music/pack/bad.m3u line 2: not UTF-8 text; skipped"}},
        {"a playlist naming a playlist and a folder",
         {"/music/pack/nested.m3u"}, false,
         {"/music/pack/02 Stage.vgz", "/music/pack/01 Title.vgz", "/music/pack/extra/bonus.vgm"},
         {"/music/pack/pack.m3u line 6: /music/pack/missing.vgz: no such file or folder"}},
        {"a playlist naming itself stops", {"/music/pack/self.m3u"}, false, {},
         {"/music/pack/self.m3u: playlists nested too deep; skipped"}},
        {"a playlist that cannot be read", {"/music/pack/locked.m3u"}, false, {},
         {"/music/pack/locked.m3u: not allowed to read it"}},
    };
    const FileSystem fs = tableFs(kTree);
    for (const auto& c : cases) {
        const Playlist p = expand(c.args, c.recursive, fs);
        EXPECT_EQ(p.files, c.files) << c.name;
        EXPECT_EQ(p.problems, c.problems) << c.name;
    }
}

}  // namespace
}  // namespace vesk::play
