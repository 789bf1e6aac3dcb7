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
                 "                  [--min-psg-db P] [--psg-window-ms V] [--max-lag-ms L] [--wav-dir DIR]\n"
                 "  --compare judges two renders of each file: every voice but the SN76489's\n"
                 "  sample by sample (correlation >= C, default 0.99, and no window of W ms,\n"
                 "  default 1, below D dB, default 15, where a write N samples early or late,\n"
                 "  default 1, is no error), and the SN76489 alone by magnitude spectra (no\n"
                 "  window of V ms, default 10, below P dB, default 10). Exits 0 when PLAYED\n"
                 "  passes both, 1 when it fails.\n"
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
    double seconds = 10, minWindowDb = 15, minCorrelation = 0.99, minPsgDb = 10;
    bool compareMode = false, samePsg = false;
    std::string wavDir;
    CompareOptions options, psg;
    psg.windowMs = 10;
    psg.phaseBlind = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto number = [&](double& out) {
            if (i + 1 >= args.size()) return false;
            out = std::atof(args[++i].c_str());
            return true;
        };
        if (a == "--compare")
            compareMode = true;
        else if (a == "--same-psg")
            samePsg = true;
        else if (a == "--seconds") {
            if (!number(seconds)) return usage();
        } else if (a == "--min-window-db") {
            if (!number(minWindowDb)) return usage();
        } else if (a == "--min-psg-db") {
            if (!number(minPsgDb)) return usage();
        } else if (a == "--psg-window-ms") {
            if (!number(psg.windowMs)) return usage();
        } else if (a == "--max-lag-ms") {
            if (!number(options.maxLagMs)) return usage();
            psg.maxLagMs = options.maxLagMs;
        } else if (a == "--min-correlation") {
            if (!number(minCorrelation)) return usage();
        } else if (a == "--window-ms") {
            if (!number(options.windowMs)) return usage();
        } else if (a == "--tolerance") {
            double t = 0;
            if (!number(t)) return usage();
            options.toleranceSamples = static_cast<int>(t);
        } else if (a == "--wav-dir" && i + 1 < args.size())
            wavDir = args[++i];
        else if (!a.empty() && a[0] == '-')
            return usage();
        else
            files.push_back(a);
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
    bool pass = true;
    for (Voices voices : {Voices::WithoutPsg, Voices::PsgOnly}) {
        const bool isPsg = voices == Voices::PsgOnly;
        Render original, played;
        std::string error;
        if (!render(first, seconds, original, &error, voices) || !render(second, seconds, played, &error, voices)) {
            std::fprintf(stderr, "vgm_render: %s\n", error.c_str());
            return 2;
        }
        if (!wavDir.empty()) {
            writeWav(wavDir + (isPsg ? "/original_psg.wav" : "/original.wav"), original);
            writeWav(wavDir + (isPsg ? "/played_psg.wav" : "/played.wav"), played);
        }
        const CompareOptions& o = isPsg ? psg : options;
        Comparison c = compare(original, played, o);
        const bool ok =
            isPsg ? c.worstWindowDb >= minPsgDb : c.correlation >= minCorrelation && c.worstWindowDb >= minWindowDb;
        pass = pass && ok;
        if (isPsg)
            std::printf("SN76489: lag %.2f ms, gain %.2f, worst %.0f ms window %.1f dB at %.3f s (spectra): %s\n",
                        c.lagMs, c.gain, o.windowMs, c.worstWindowDb, c.worstWindowAt, ok ? "pass" : "FAIL");
        else
            std::printf(
                "others: lag %.2f ms, gain %.2f, correlation %.5f, SNR %.1f dB, worst %.0f ms window %.1f dB "
                "at %.3f s (+-%d samples): %s\n",
                c.lagMs, c.gain, c.correlation, c.snrDb, o.windowMs, c.worstWindowDb, c.worstWindowAt,
                o.toleranceSamples, ok ? "pass" : "FAIL");
    }
    return pass ? 0 : 1;
}
