// Fuzz target: vesk_play's VGM reader. Bit 0 of the first byte chooses how
// the rest reaches it: as a plain file, or gzip-compressed first (so that the
// parser behind the decompressor is reached too); plain input that starts
// with the gzip magic tries the decompressor on damaged streams.
#include <zlib.h>

#include "fuzz_check.h"
#include "vgm_reader.h"

namespace {

std::string gzip(const std::string& plain) {
    z_stream z{};
    FUZZ_CHECK(deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK);
    std::string out(deflateBound(&z, plain.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    FUZZ_CHECK(deflate(&z, Z_FINISH) == Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vesk::vgm;
    vesk::fuzz::Input in(data, size);
    const bool compress = in.byte() & 1;
    const vesk::fuzz::Bytes rest = in.rest();
    std::string file(reinterpret_cast<const char*>(rest.data()), rest.size());
    if (compress) file = gzip(file);

    Song song;
    std::string error;
    if (!readSong(file, "song.vgm", song, error)) {
        // Refused with the file's name and the offset at fault.
        FUZZ_CHECK(error.rfind("song.vgm: ", 0) == 0 && error.find("offset 0x") != std::string::npos);
        return 0;
    }
    if (compress) FUZZ_CHECK(song.bytes.size() == rest.size());
    // Events in time order, within the song, each from the file.
    std::uint64_t last = 0;
    for (const Event& e : song.events) {
        FUZZ_CHECK(e.sample >= last && e.sample <= song.endSample);
        last = e.sample;
        FUZZ_CHECK(e.chip < Chip::Count && song.header(e.chip) != nullptr);
        FUZZ_CHECK(e.instance < song.header(e.chip)->instances);
        if (e.kind == Event::Load)
            FUZZ_CHECK(std::uint64_t{e.offset} + e.length <= song.bytes.size());
        else
            FUZZ_CHECK(e.offset < song.bytes.size());
    }
    if (song.looped) FUZZ_CHECK(song.loopEvent <= song.events.size() && song.loopSample < song.endSample);
    return 0;
}
