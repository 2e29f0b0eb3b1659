#include "TonePairFinder.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

// A window's tone stands this far above the second of its group (power): the
// neighbours of a 128-sample window leak about 15 dB into each other.
constexpr float kDominance = 4;
// The two tones within this ratio of each other (power, 9 dB).
constexpr float kTwist = 8;
// The share of the window's energy that the two tones carry: a key at -3 dB SNR
// in white noise gives about half, voiced speech seldom as much for long. Two
// windows in a row open a stretch at kClear, kSteady windows at kPurity.
constexpr float kPurity = 0.4f, kClear = 0.6f;
constexpr int kSteady = 4;
// Each tone at least 2 LSB: below that a tone drowns in the 16-bit rounding.
constexpr float kFloor = (2.0f * TonePairFinder::kWindow / 2) * (2.0f * TonePairFinder::kWindow / 2);

struct Tables {
    float tone[TonePairFinder::kHop][16];  // per sample of a segment: cos, -sin of each tone
    float step[TonePairFinder::kWindow / TonePairFinder::kHop]
              [16];  // a segment's phase turn at its place in the window
    Tables()
    {
        for (int k = 0; k < 8; ++k) {
            const double w = 2 * std::numbers::pi * dtmf::kToneHz[k] / dtmf::kRate;
            for (int n = 0; n < TonePairFinder::kHop; ++n)
                tone[n][2 * k] = static_cast<float>(std::cos(w * n)),
                            tone[n][2 * k + 1] = static_cast<float>(-std::sin(w * n));
            for (int i = 0; i < TonePairFinder::kWindow / TonePairFinder::kHop; ++i)
                step[i][2 * k] = static_cast<float>(std::cos(w * TonePairFinder::kHop * i)),
                            step[i][2 * k + 1] = static_cast<float>(-std::sin(w * TonePairFinder::kHop * i));
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
    for (std::size_t i = 0; i < count;) {
        const std::size_t take = std::min<std::size_t>(count - i, kHop - held);
        for (std::size_t n = 0; n < take; ++n)
            partial[held + n] = samples[i + n];
        held += static_cast<int>(take), i += take;
        if (held == kHop) {
            held = 0;
            Segment(partial);
        }
    }
}

void TonePairFinder::Segment(const float* x)
{
    const Tables& t = TheTables();
    const int slot = static_cast<int>(segments % kSegments);
    float acc[16] = {};
    float e = 0;
    for (int n = 0; n < kHop; ++n) {
        for (int k = 0; k < 16; ++k)
            acc[k] += x[n] * t.tone[n][k];
        e += x[n] * x[n];
    }
    std::copy_n(acc, 16, correlation[slot]);
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
    float power[8];
    float total = 0;
    const int oldest = static_cast<int>(segments % kSegments);
    float re[8] = {}, im[8] = {};
    for (int i = 0; i < kSegments; ++i) {
        const float* c = correlation[(oldest + i) % kSegments];
        const float* s = t.step[i];
        for (int k = 0; k < 8; ++k) {
            re[k] += c[2 * k] * s[2 * k] - c[2 * k + 1] * s[2 * k + 1];
            im[k] += c[2 * k] * s[2 * k + 1] + c[2 * k + 1] * s[2 * k];
        }
        total += energy[i];
    }
    for (int k = 0; k < 8; ++k)
        power[k] = re[k] * re[k] + im[k] * im[k];
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
    const float tones = (low + high) * 2 / kWindow;
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
