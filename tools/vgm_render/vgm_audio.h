// Renders VGM files to PCM with the Game Music Emu library and compares
// two renders: what a file says against what a board played.
#ifndef VESK_VGM_AUDIO_H
#define VESK_VGM_AUDIO_H

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::audio {

constexpr int kRate = 44100;

// Interleaved stereo 16-bit samples.
struct Render {
    std::vector<std::int16_t> stereo;
    std::size_t frames() const { return stereo.size() / 2; }
};

// Which voices a render keeps: the SN76489 apart from the rest, because its
// square waves keep the phase a write left them in (a write one sample off
// turns a tone upside down for the rest of the note), which only a
// comparison that ignores phase can judge.
enum class Voices { All, WithoutPsg, PsgOnly };

// Renders the first `seconds` of a VGM/VGZ file given as bytes. Silence is
// rendered as silence (the track never ends early). False with a message
// when the library refuses the file.
bool render(const std::vector<std::uint8_t>& file, double seconds, Render& out, std::string* error,
            Voices voices = Voices::All);

// Reads a file whole; false when it cannot be read.
bool readFile(const std::string& path, std::vector<std::uint8_t>& out);

// A VGZ (gzip) file is not looked into: header edits need plain VGM.
bool isPlainVgm(const std::vector<std::uint8_t>& file);

// Gives `target` the SN76489 noise settings (feedback, register width,
// flags) of `model`, so that two files differing only in the variant of
// that chip render alike. Plain VGM only; false otherwise.
bool copyPsgVariant(const std::vector<std::uint8_t>& model, std::vector<std::uint8_t>& target);

bool writeWav(const std::string& path, const Render& r);

// The comparison of a played render against the original.
//
// Both are mixed to mono. The played one is first aligned by the lag,
// within +-maxLagMs, that maximises the normalised cross-correlation over a
// stretch of the original from its first sound (a board starts late by its
// latency), and scaled by the gain that best matches it to the original
// (libgme's mix level of a chip depends on the other chips a file
// declares). Then, over the whole excerpt:
//   correlation   normalised cross-correlation at that lag (1 = identical);
//   snrDb         10 log10(sum a^2 / sum (a - b)^2);
//   worstWindowDb the lowest signal-to-error ratio of any window of
//                 windowMs, with a timing tolerance: the error at sample i
//                 is the smallest |a[i] - b[i + k]| for |k| <= tolerance,
//                 and a window quieter than -50 dBFS counts as that loud,
//                 so that noise in a quiet stretch is judged on its own
//                 level.
// The worst window is what catches a single late or missing write: the
// error of one dropped DAC write lasts a few samples and vanishes in any
// measure over the whole excerpt. The tolerance is what lets a board be a
// sample early or late: without it, one write a sample off (an FM key-on,
// a step of a drum) costs more than a dropped DAC write. A write missing
// for longer than the tolerance still shows; one whose value differs from
// the one before by a step or two of 256 does not, and is inaudible.
struct Comparison {
    double lagMs = 0;
    double correlation = 0;
    double worstWindowDb = 0;
    double worstWindowAt = 0;  // seconds into the original
    double snrDb = 0;          // over the whole excerpt
    double gain = 1;           // applied to the played render
};

struct CompareOptions {
    double maxLagMs = 50;
    double windowMs = 1;
    int toleranceSamples = 1;  // a write one sample early or late is no error
    // For renders of the SN76489 alone: the lag is searched on the sound's
    // envelope (RMS over 16 samples) and the level matched by energy, and each window's error is taken
    // between magnitude spectra (Hann window, FFT), blind to phase, instead
    // of between samples; toleranceSamples is then unused. A write a sample
    // off leaves the spectra alike; a note late by milliseconds, a wrong
    // pitch or a missing note does not. Use windows of 10 ms or more.
    bool phaseBlind = false;
};

Comparison compare(const Render& original, const Render& played, const CompareOptions& options = {});

}  // namespace vesk::audio

#endif  // VESK_VGM_AUDIO_H
