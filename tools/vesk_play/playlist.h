// What vesk_play plays: the files, folders and playlists of its command line
// turned into one list of files, in order.
#ifndef VESK_PLAY_PLAYLIST_H
#define VESK_PLAY_PLAYLIST_H

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vesk::play {

// The file system as the playlist sees it (the system's, or a test's).
struct FileSystem {
    std::function<plat::PathKind(const std::string&)> kind;
    std::function<bool(const std::string&, std::vector<plat::FolderEntry>&)> list;
    std::function<bool(const std::string&, std::string&, plat::FileError*)> read;
    char separator = '/';  // what joins a folder and a name

    static FileSystem system();
};

struct Playlist {
    std::vector<std::string> files;     // to play, in order
    std::vector<std::string> problems;  // what was named but is not there, one line each
};

// True for the extensions of playlists: .m3u and .m3u8, in any case.
bool isPlaylistName(const std::string& path);
// True for the extensions of VGM files: .vgm and .vgz, in any case.
bool isSongName(const std::string& path);

// Expands the arguments in order. A folder gives its songs (.vgm, .vgz) in
// name order, and with recursive then its folders' in name order; a playlist
// gives its entries: one a line, UTF-8 (a byte-order mark is skipped), lines
// starting with '#' and blank lines ignored, a relative entry taken from the
// playlist's folder (either separator), an entry that is a folder or a
// playlist expanded in turn (nested at most 8 deep). Anything else is a file
// to play as named; whether it is a song is for the reader to say. An entry or
// argument that names nothing is left out and named in problems, with the
// playlist's line.
Playlist expand(const std::vector<std::string>& arguments, bool recursive, const FileSystem& fs);

}  // namespace vesk::play

#endif  // VESK_PLAY_PLAYLIST_H
