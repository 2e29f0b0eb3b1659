// Test signals: synthesised 256-sample blocks at 11025 Hz.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <random>

#include "FFT.h"

namespace testsig {

constexpr int kRate = 11025;
constexpr int kBlock = 256;
constexpr double kPi = 3.14159265358979323846;
constexpr std::array<double, 4> kRowHz{697, 770, 852, 941};
constexpr std::array<double, 4> kColHz{1209, 1336, 1477, 1633};
constexpr char kKeys[] = "123A456B789C*0#D";

using Block = std::array<short, kBlock>;
using Spectrum = std::array<int, kBlock / 2>;

// Sum of sines of equal amplitude, starting at sample `start` of a continuous
// signal; plus uniform noise of the given peak (mt19937 output is portable).
inline Block Tones(std::initializer_list<double> hz, double amplitude, int start = 0, double noisePeak = 0,
                   unsigned seed = 1)
{
    std::mt19937 rng(seed);
    Block b{};
    for (int t = 0; t < kBlock; ++t) {
        double v = 0;
        for (double f : hz)
            v += amplitude * std::sin(2 * kPi * f * (start + t) / kRate);
        if (noisePeak > 0)
            v += noisePeak * (static_cast<double>(rng()) / 4294967295.0 * 2 - 1);
        b[t] = static_cast<short>(std::lround(v));
    }
    return b;
}

inline Spectrum Analyse(FFT& fft, Block block)
{
    Spectrum out{};
    fft.Run(block.data(), out.data());
    return out;
}

}  // namespace testsig
