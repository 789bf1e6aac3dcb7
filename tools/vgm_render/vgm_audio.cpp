#include "vgm_audio.h"

#include <gme/gme.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <complex>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vesk::audio {

bool readFile(const std::string& path, std::vector<std::uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool isPlainVgm(const std::vector<std::uint8_t>& file) {
    return file.size() >= 0x40 && std::memcmp(file.data(), "Vgm ", 4) == 0;
}

bool copyPsgVariant(const std::vector<std::uint8_t>& model, std::vector<std::uint8_t>& target) {
    if (!isPlainVgm(model) || !isPlainVgm(target)) return false;
    // Feedback pattern (16 bits), shift register width, flags: 0x28-0x2B.
    std::copy(model.begin() + 0x28, model.begin() + 0x2C, target.begin() + 0x28);
    return true;
}

bool render(const std::vector<std::uint8_t>& file, double seconds, Render& out, std::string* error, Voices voices) {
    Music_Emu* emu = nullptr;
    gme_err_t err = gme_open_data(file.data(), static_cast<long>(file.size()), &emu, kRate);
    if (!err) {
        gme_ignore_silence(emu, 1);
        // A file with an FM chip has one "PSG" voice; an SN76489-only file
        // names the chip's four channels.
        for (int i = 0; i < gme_voice_count(emu) && voices != Voices::All; ++i) {
            const std::string name = gme_voice_name(emu, i);
            const bool psg = name == "PSG" || name == "Noise" || name.rfind("Square", 0) == 0;
            gme_mute_voice(emu, i, psg == (voices == Voices::WithoutPsg));
        }
        err = gme_start_track(emu, 0);
    }
    if (!err) {
        // No fade-out: the library otherwise fades at the track's length.
        gme_set_fade(emu, -1);
        std::size_t frames = static_cast<std::size_t>(seconds * kRate);
        out.stereo.assign(frames * 2, 0);
        const std::size_t chunk = 4096;
        for (std::size_t done = 0; done < frames && !err; done += chunk) {
            std::size_t n = std::min(chunk, frames - done);
            err = gme_play(emu, static_cast<int>(n * 2), out.stereo.data() + done * 2);
        }
    }
    if (emu) gme_delete(emu);
    if (err && error) *error = err;
    return !err;
}

bool writeWav(const std::string& path, const Render& r) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    auto u32 = [&](std::uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    const std::uint32_t bytes = static_cast<std::uint32_t>(r.stereo.size() * 2);
    f.write("RIFF", 4);
    u32(36 + bytes);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);  // PCM
    u16(2);
    u32(kRate);
    u32(kRate * 4);
    u16(4);
    u16(16);
    f.write("data", 4);
    u32(bytes);
    // Little-endian hosts only, which is every one this runs on.
    f.write(reinterpret_cast<const char*>(r.stereo.data()), static_cast<std::streamsize>(bytes));
    return static_cast<bool>(f);
}

namespace {

std::vector<double> mono(const Render& r) {
    std::vector<double> m(r.frames());
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = (r.stereo[2 * i] + r.stereo[2 * i + 1]) / 65536.0;
    return m;
}

// x's RMS over 16 samples: what the ear follows of a square
// wave, whatever its phase.
std::vector<double> envelope(const std::vector<double>& x) {
    std::vector<double> e(x.size());
    double sum = 0;
    const std::size_t w = 16;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sum += x[i] * x[i];
        if (i >= w) sum -= x[i - w] * x[i - w];
        e[i] = std::sqrt(std::max(0.0, sum) / w);
    }
    return e;
}

// In-place radix-2 FFT; size a power of two.
void fft(std::vector<std::complex<double>>& v) {
    const std::size_t n = v.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(v[i], v[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> step = std::polar(1.0, -2 * M_PI / static_cast<double>(len));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> w(1);
            for (std::size_t k = 0; k < len / 2; ++k, w *= step) {
                const std::complex<double> u = v[i + k], t = w * v[i + k + len / 2];
                v[i + k] = u + t;
                v[i + k + len / 2] = u - t;
            }
        }
    }
}
}  // namespace

Comparison compare(const Render& original, const Render& played, const CompareOptions& options) {
    const std::vector<double> a = mono(original), b = mono(played);
    const std::vector<double> ea_ = options.phaseBlind ? envelope(a) : std::vector<double>();
    const std::vector<double> eb_ = options.phaseBlind ? envelope(b) : std::vector<double>();
    const std::vector<double>& la = options.phaseBlind ? ea_ : a;  // what the lag is searched on
    const std::vector<double>& lb = options.phaseBlind ? eb_ : b;
    Comparison c;
    const long n = static_cast<long>(a.size());
    if (n == 0) return c;

    // Lag: searched over one second from the original's first sound.
    long first = 0;
    while (first < n && std::fabs(a[first]) < 1e-3) ++first;
    if (first == n) first = 0;
    const long stretch = std::min<long>(kRate, n - first);
    const long maxLag = static_cast<long>(options.maxLagMs * kRate / 1000);
    auto at = [&](long i) { return i >= 0 && i < static_cast<long>(b.size()) ? b[i] : 0.0; };
    auto lagAt = [&](long i) { return i >= 0 && i < static_cast<long>(lb.size()) ? lb[i] : 0.0; };
    double best = -2;
    long bestLag = 0;
    double ea = 0;
    for (long i = first; i < first + stretch; ++i) ea += la[i] * la[i];
    for (long lag = -maxLag; lag <= maxLag; ++lag) {
        double ab = 0, eb = 0;
        for (long i = first; i < first + stretch; ++i) {
            double y = lagAt(i + lag);
            ab += la[i] * y;
            eb += y * y;
        }
        double r = ea > 0 && eb > 0 ? ab / std::sqrt(ea * eb) : 0;
        if (r > best) {
            best = r;
            bestLag = lag;
        }
    }
    c.lagMs = bestLag * 1000.0 / kRate;

    // The played render scaled to the original's level (least squares):
    // libgme mixes a chip louder or softer by which others the header
    // declares, and a board's recording declares every chip of its slots.
    double gab = 0, gbb = 0;
    for (long i = 0; i < n; ++i) {
        gab += a[i] * at(i + bestLag);
        gbb += at(i + bestLag) * at(i + bestLag);
    }
    double gain = gab > 0 && gbb > 0 ? gab / gbb : 1;
    if (options.phaseBlind) {
        // Least squares would count a wave upside down as a softer one.
        double eaa = 0;
        for (long i = 0; i < n; ++i) eaa += a[i] * a[i];
        gain = eaa > 0 && gbb > 0 ? std::sqrt(eaa / gbb) : 1;
    }
    c.gain = gain;
    auto scaled = [&](long i) { return gain * at(i); };

    const long w = std::max<long>(1, static_cast<long>(options.windowMs * kRate / 1000));
    const long tolerance = std::max(0, options.toleranceSamples);
    const double floorPerSample = std::pow(10.0, -50.0 / 10.0);
    double sa = 0, sb = 0, sab = 0, se = 0;
    c.worstWindowDb = 200;
    std::size_t bins = 1;
    while (bins < static_cast<std::size_t>(w)) bins <<= 1;
    std::vector<std::complex<double>> fa(bins), fb(bins);
    std::vector<double> hann(static_cast<std::size_t>(w));
    double hannEnergy = 0;
    for (long i = 0; i < w; ++i) {
        hann[i] = w > 1 ? 0.5 - 0.5 * std::cos(2 * M_PI * i / (w - 1)) : 1;
        hannEnergy += hann[i] * hann[i];
    }
    for (long start = 0; options.phaseBlind && start + w <= n; start += w) {
        std::fill(fa.begin(), fa.end(), 0);
        std::fill(fb.begin(), fb.end(), 0);
        double wa = 0;
        for (long i = 0; i < w; ++i) {
            fa[i] = hann[i] * a[start + i];
            fb[i] = hann[i] * scaled(start + i + bestLag);
            wa += std::norm(fa[i]);
        }
        fft(fa);
        fft(fb);
        // Bands a third of an octave wide (at least one bin) from 50 Hz: the
        // noise channel's spectrum differs bin by bin between two takes
        // whose noise register started a sample apart, not band by band.
        double we = 0;
        const double hz = static_cast<double>(kRate) / static_cast<double>(bins);
        for (std::size_t lo = 1; lo < bins / 2;) {
            std::size_t hi = std::max(lo + 1, static_cast<std::size_t>(std::max(50.0, lo * hz) * 1.26 / hz));
            hi = std::min(hi, bins / 2);
            double pa = 0, pb = 0;
            for (std::size_t k = lo; k < hi; ++k) {
                pa += std::norm(fa[k]);
                pb += std::norm(fb[k]);
            }
            we += 2 * std::pow(std::sqrt(pa) - std::sqrt(pb), 2);
            lo = hi;
        }
        // Parseval: the spectrum holds `bins` times the windowed energy.
        const double db = 10 * std::log10(static_cast<double>(bins) * std::max(wa, floorPerSample * hannEnergy) /
                                          std::max(we, 1e-20));
        if (db < c.worstWindowDb) {
            c.worstWindowDb = db;
            c.worstWindowAt = static_cast<double>(start) / kRate;
        }
    }
    for (long start = 0; start < n; start += w) {
        double wa = 0, we = 0;
        const long end = std::min(n, start + w);
        for (long i = start; i < end; ++i) {
            double x = a[i], y = scaled(i + bestLag), e = std::fabs(x - y);
            sb += y * y;
            sab += x * y;
            se += e * e;
            for (long k = 1; k <= tolerance && e > 0; ++k)
                e = std::min({e, std::fabs(x - scaled(i + bestLag - k)), std::fabs(x - scaled(i + bestLag + k))});
            wa += x * x;
            we += e * e;
        }
        sa += wa;
        double db = 10 * std::log10(std::max(wa, floorPerSample * (end - start)) / std::max(we, 1e-20));
        if (!options.phaseBlind && db < c.worstWindowDb) {
            c.worstWindowDb = db;
            c.worstWindowAt = static_cast<double>(start) / kRate;
        }
    }
    c.correlation = sa > 0 && sb > 0 ? sab / std::sqrt(sa * sb) : (sa == sb ? 1 : 0);
    c.snrDb = 10 * std::log10(std::max(sa, 1e-20) / std::max(se, 1e-20));
    return c;
}

}  // namespace vesk::audio
