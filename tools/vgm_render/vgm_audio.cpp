#include "vgm_audio.h"

#include <gme/gme.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
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

bool render(const std::vector<std::uint8_t>& file, double seconds, Render& out, std::string* error) {
    Music_Emu* emu = nullptr;
    gme_err_t err = gme_open_data(file.data(), static_cast<long>(file.size()), &emu, kRate);
    if (!err) {
        gme_ignore_silence(emu, 1);
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

}  // namespace

Comparison compare(const Render& original, const Render& played, const CompareOptions& options) {
    const std::vector<double> a = mono(original), b = mono(played);
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
    double best = -2;
    long bestLag = 0;
    double ea = 0;
    for (long i = first; i < first + stretch; ++i) ea += a[i] * a[i];
    for (long lag = -maxLag; lag <= maxLag; ++lag) {
        double ab = 0, eb = 0;
        for (long i = first; i < first + stretch; ++i) {
            double y = at(i + lag);
            ab += a[i] * y;
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
    const double gain = gab > 0 && gbb > 0 ? gab / gbb : 1;
    c.gain = gain;
    auto scaled = [&](long i) { return gain * at(i); };

    const long w = std::max<long>(1, static_cast<long>(options.windowMs * kRate / 1000));
    const long tolerance = std::max(0, options.toleranceSamples);
    const double floorPerSample = std::pow(10.0, -50.0 / 10.0);
    double sa = 0, sb = 0, sab = 0, se = 0;
    c.worstWindowDb = 200;
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
        if (db < c.worstWindowDb) {
            c.worstWindowDb = db;
            c.worstWindowAt = static_cast<double>(start) / kRate;
        }
    }
    c.correlation = sa > 0 && sb > 0 ? sab / std::sqrt(sa * sb) : (sa == sb ? 1 : 0);
    c.snrDb = 10 * std::log10(std::max(sa, 1e-20) / std::max(se, 1e-20));
    return c;
}

}  // namespace vesk::audio
