// vgm_render: renders a VGM file to WAV, or judges how closely a played
// recording matches its original (see vgm_audio.h for the measure).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vgm_audio.h"

using namespace vesk::audio;

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: vgm_render FILE.vgm OUT.wav [--seconds S]\n"
                 "       vgm_render --compare ORIGINAL PLAYED [--seconds S] [--min-window-db D]\n"
                 "                  [--min-correlation C] [--window-ms W] [--tolerance N] [--same-psg]\n"
                 "                  [--wav-dir DIR]\n"
                 "  --compare exits 0 when PLAYED passes (correlation >= C, default 0.99, and\n"
                 "  no window of W ms, default 1, below D dB, default 15, where a write N\n"
                 "  samples early or late, default 1, is no error), 1 when it fails.\n"
                 "  --same-psg renders PLAYED with ORIGINAL's SN76489 variant.\n");
    return 2;
}

bool load(const std::string& path, std::vector<std::uint8_t>& bytes) {
    if (readFile(path, bytes)) return true;
    std::fprintf(stderr, "vgm_render: %s: cannot be read\n", path.c_str());
    return false;
}

bool renderOrSay(const std::string& path, const std::vector<std::uint8_t>& bytes, double seconds, Render& r) {
    std::string error;
    if (render(bytes, seconds, r, &error)) return true;
    std::fprintf(stderr, "vgm_render: %s: %s\n", path.c_str(), error.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc), files;
    double seconds = 10, minWindowDb = 15, minCorrelation = 0.99;
    bool compareMode = false, samePsg = false;
    std::string wavDir;
    CompareOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto number = [&](double& out) {
            if (i + 1 >= args.size()) return false;
            out = std::atof(args[++i].c_str());
            return true;
        };
        if (a == "--compare") compareMode = true;
        else if (a == "--same-psg") samePsg = true;
        else if (a == "--seconds") { if (!number(seconds)) return usage(); }
        else if (a == "--min-window-db") { if (!number(minWindowDb)) return usage(); }
        else if (a == "--min-correlation") { if (!number(minCorrelation)) return usage(); }
        else if (a == "--window-ms") { if (!number(options.windowMs)) return usage(); }
        else if (a == "--tolerance") {
            double t = 0;
            if (!number(t)) return usage();
            options.toleranceSamples = static_cast<int>(t);
        }
        else if (a == "--wav-dir" && i + 1 < args.size()) wavDir = args[++i];
        else if (!a.empty() && a[0] == '-') return usage();
        else files.push_back(a);
    }
    if (files.size() != 2 || seconds <= 0) return usage();

    std::vector<std::uint8_t> first, second;
    if (!load(files[0], first) || (compareMode && !load(files[1], second))) return 2;
    if (!compareMode) {
        Render r;
        if (!renderOrSay(files[0], first, seconds, r)) return 2;
        if (!writeWav(files[1], r)) {
            std::fprintf(stderr, "vgm_render: %s: cannot be written\n", files[1].c_str());
            return 2;
        }
        return 0;
    }

    if (samePsg && !copyPsgVariant(first, second))
        std::fprintf(stderr, "vgm_render: --same-psg needs plain VGM files; rendering as they are\n");
    Render original, played;
    if (!renderOrSay(files[0], first, seconds, original) || !renderOrSay(files[1], second, seconds, played)) return 2;
    if (!wavDir.empty()) {
        writeWav(wavDir + "/original.wav", original);
        writeWav(wavDir + "/played.wav", played);
    }
    Comparison c = compare(original, played, options);
    bool pass = c.correlation >= minCorrelation && c.worstWindowDb >= minWindowDb;
    std::printf("lag %.2f ms, gain %.2f, correlation %.5f, SNR %.1f dB, worst %.0f ms window %.1f dB at %.3f s (+-%d samples): %s\n",
                c.lagMs, c.gain, c.correlation, c.snrDb, options.windowMs, c.worstWindowDb, c.worstWindowAt,
                options.toleranceSamples, pass ? "pass" : "FAIL");
    return pass ? 0 : 1;
}
