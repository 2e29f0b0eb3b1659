#include "TonePairFinder.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>

namespace {

// A window's tone stands this far above the second of its group (power, 4 dB):
// the neighbours of a 128-sample window leak about 15 dB into each other, and
// noise at -5 dB SNR seldom comes closer.
constexpr float kDominance = 2.5f;
// The two tones within this ratio of each other (power, 9 dB).
constexpr float kTwist = 8;
// The share of the window's energy in the band that the two tones carry: a key
// at -3 dB SNR in white noise gives about 0.8, voiced speech seldom as much for long. Two windows in a row open a
// stretch at kClear, kSteady windows at kPurity.
constexpr float kPurity = 0.55f, kClear = 0.85f;
constexpr int kSteady = 4;
// Each tone at least 2 LSB: below that a tone drowns in the 16-bit rounding.
// The band is weighed at every other sample, which its filter's stop band allows.
constexpr int kSpan = TonePairFinder::kWindow / 2, kSegmentSpan = TonePairFinder::kHop / 2;
constexpr float kFloor = (2.0f * kSpan / 2) * (2.0f * kSpan / 2);

// The energy that the tones are weighed against is that of the keys' band: a
// 12-tap linear-phase filter (least squares: pass 650-1700 Hz, stop below 350
// and above 2300 Hz) takes voiced speech's low harmonics 19-36 dB down and
// fricatives and hiss 33-54 dB. The tones are measured through it too, their
// powers divided by its gain.
constexpr float kTaps[2 * TonePairFinder::kPhaseTaps] = {-0.0629f,  -0.13306f, -0.1465f,  -0.05272f,
                                                         0.11487f,  0.24739f,  0.24739f,  0.11487f,
                                                         -0.05272f, -0.1465f,  -0.13306f, -0.0629f};
using V4 = float __attribute__((vector_size(16)));
constexpr int kSegments = TonePairFinder::kSegments;

// Tones 0-3 and 4-7 in the lanes of two vectors.
struct Tables {
    V4 cosine[kSegmentSpan][2], sine[kSegmentSpan][2];  // per band sample of a segment: cos and -sin
    V4 turnCos[kSegments][2], turnSin[kSegments][2];    // a segment's phase turn at its place in the window
    V4 inverseGain[2];                                  // of the band filter at each tone (power)
    Tables()
    {
        for (int k = 0; k < 8; ++k) {
            const double w = 2 * std::numbers::pi * dtmf::kToneHz[k] / dtmf::kRate;
            for (int m = 0; m < kSegmentSpan; ++m)
                cosine[m][k / 4][k % 4] = static_cast<float>(std::cos(w * 2 * m)),
                                     sine[m][k / 4][k % 4] = static_cast<float>(-std::sin(w * 2 * m));
            for (int i = 0; i < kSegments; ++i)
                turnCos[i][k / 4][k % 4] = static_cast<float>(std::cos(w * TonePairFinder::kHop * i)),
                                      turnSin[i][k / 4][k % 4] =
                                          static_cast<float>(-std::sin(w * TonePairFinder::kHop * i));
            std::complex<double> response = 0;
            for (int i = 0; i < 2 * TonePairFinder::kPhaseTaps; ++i)
                response += static_cast<double>(kTaps[i]) * std::polar(1.0, -w * i);
            inverseGain[k / 4][k % 4] = static_cast<float>(1 / std::norm(response));
        }
    }
};

const Tables& TheTables()
{
    static const Tables tables;
    return tables;
}

}  // namespace

void TonePairFinder::Feed(const std::int16_t* samples, std::size_t count)
{
    const auto take = [&] {
        float* half = held % 2 != 0 ? odd : even;
        half[kPhaseTaps + held / 2] = *samples++;
        --count;
        if (++held == kHop) {
            held = 0;
            Segment();
        }
    };
    while (held > 0 && count > 0)
        take();
    for (; count >= kHop; count -= kHop, samples += kHop) {
        for (int m = 0; m < kHop / 2; ++m)
            even[kPhaseTaps + m] = samples[2 * m], odd[kPhaseTaps + m] = samples[2 * m + 1];
        Segment();
    }
    while (count > 0)
        take();
}

void TonePairFinder::Segment()
{
    const Tables& t = TheTables();
    const int slot = static_cast<int>(segments % kSegments);
    // The filter's even and odd taps on the even and odd samples give its output at the even ones.
    float band[kSegmentSpan];
    for (int m = 0; m < kSegmentSpan; m += 4) {
        V4 y = {};
        for (int k = 0; k < kPhaseTaps; ++k) {
            V4 e, o;
            std::memcpy(&e, even + kPhaseTaps + m - k, sizeof e);
            std::memcpy(&o, odd + kPhaseTaps + m - k - 1, sizeof o);
            y += kTaps[2 * k] * e + kTaps[2 * k + 1] * o;
        }
        std::memcpy(band + m, &y, sizeof y);
    }
    std::copy_n(even + kSegmentSpan, kPhaseTaps, even);
    std::copy_n(odd + kSegmentSpan, kPhaseTaps, odd);
    V4 re[2] = {}, im[2] = {};
    float e = 0;
    for (int m = 0; m < kSegmentSpan; ++m) {
        const V4 v = {band[m], band[m], band[m], band[m]};
        for (int j = 0; j < 2; ++j)
            re[j] += v * t.cosine[m][j], im[j] += v * t.sine[m][j];
        e += band[m] * band[m];
    }
    for (int j = 0; j < 2; ++j)
        std::memcpy(correlation[slot][j], &re[j], sizeof re[j]),
            std::memcpy(correlation[slot][2 + j], &im[j], sizeof im[j]);
    energy[slot] = e;
    ++segments;
    if (segments < kSegments)
        return;

    const std::uint64_t end = segments * kHop, start = end - kWindow;
    const auto [key, clear] = WindowKey();
    if (open && key != runKey) {
        open = false;
        sink(openStart, lastEnd);
    }
    if (key < 0) {
        runKey = -1, runLength = clearLength = 0;
        return;
    }
    if (key != runKey)
        runKey = key, runLength = clearLength = 0, runStart = start;
    ++runLength;
    clearLength = clear ? clearLength + 1 : 0;
    lastEnd = end;
    if (!open && (clearLength >= 2 || runLength >= kSteady)) {
        open = true, openStart = runStart;
        sink(openStart, kOpen);
    }
}

TonePairFinder::Heard TonePairFinder::WindowKey() const
{
    const Tables& t = TheTables();
    const int oldest = static_cast<int>(segments % kSegments);
    V4 re[2] = {}, im[2] = {};
    float total = 0;
    for (int i = 0; i < kSegments; ++i) {
        const int slot = (oldest + i) % kSegments;
        for (int j = 0; j < 2; ++j) {
            V4 cr, ci;
            std::memcpy(&cr, correlation[slot][j], sizeof cr), std::memcpy(&ci, correlation[slot][2 + j], sizeof ci);
            re[j] += cr * t.turnCos[i][j] - ci * t.turnSin[i][j];
            im[j] += cr * t.turnSin[i][j] + ci * t.turnCos[i][j];
        }
        total += energy[i];
    }
    float filtered[8], power[8];
    for (int j = 0; j < 2; ++j) {
        const V4 f = re[j] * re[j] + im[j] * im[j], p = f * t.inverseGain[j];
        std::memcpy(filtered + 4 * j, &f, sizeof f), std::memcpy(power + 4 * j, &p, sizeof p);
    }
    const auto best = [&](int first) {
        int top = first, second = -1;
        for (int k = first + 1; k < first + 4; ++k)
            if (power[k] > power[top])
                second = top, top = k;
            else if (second < 0 || power[k] > power[second])
                second = k;
        return power[top] >= kDominance * power[second] && power[top] >= kFloor ? top : -1;
    };
    const int row = best(0), column = best(4);
    if (row < 0 || column < 0)
        return {};
    const float low = power[row], high = power[column];
    if (low > kTwist * high || high > kTwist * low)
        return {};
    const float tones = (filtered[row] + filtered[column]) * 2 / kSpan;
    if (tones < kPurity * total)
        return {};
    return {row * 4 + column - 4, tones >= kClear * total};
}

void TonePairFinder::Flush()
{
    if (open) {
        open = false;
        sink(openStart, lastEnd);
    }
    runKey = -1, runLength = clearLength = 0;
}
