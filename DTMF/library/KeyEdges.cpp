#include "KeyEdges.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

constexpr int kWindow = 64;  // 5.8 ms: short enough to place an edge, long enough to hear a tone in noise
constexpr int kCoarse = 32;  // steps of the first search
constexpr int kFine = 4;     // steps of the second, between two coarse ones

// One period of each tone against a 64-sample window: the correlation's
// magnitude does not depend on where the window starts.
struct ToneTable {
    float cosine[8][kWindow], sine[8][kWindow];
    ToneTable()
    {
        for (int tone = 0; tone < 8; ++tone)
            for (int n = 0; n < kWindow; ++n) {
                const double phase = 2 * std::numbers::pi * dtmf::kToneHz[tone] * n / dtmf::kRate;
                cosine[tone][n] = static_cast<float>(std::cos(phase));
                sine[tone][n] = static_cast<float>(std::sin(phase));
            }
    }
};

const ToneTable& Tables()
{
    static const ToneTable tables;
    return tables;
}

}  // namespace

void KeyEdges::Remember(const short* block, std::uint64_t end)
{
    std::memcpy(history[(end / dtmf::kBlock + kHistoryBlocks - 1) % kHistoryBlocks], block, sizeof history[0]);
    newestEnd = end;
}

std::uint64_t KeyEdges::Oldest() const
{
    constexpr std::uint64_t kept = std::uint64_t{kHistoryBlocks} * dtmf::kBlock;
    return newestEnd > kept ? newestEnd - kept : 0;
}

double KeyEdges::Envelope(char key, std::uint64_t at) const
{
    const ToneTable& t = Tables();
    const int index = dtmf::KeyIndex(key);
    const int low = index / 4, high = 4 + index % 4;
    float re[2] = {}, im[2] = {};
    for (int n = 0; n < kWindow; ++n) {
        const std::uint64_t position = at + n;
        const float x = history[(position / dtmf::kBlock) % kHistoryBlocks][position % dtmf::kBlock];
        re[0] += x * t.cosine[low][n], im[0] += x * t.sine[low][n];
        re[1] += x * t.cosine[high][n], im[1] += x * t.sine[high][n];
    }
    return std::hypot(re[0], im[0]) + std::hypot(re[1], im[1]);
}

// A step in a tone's amplitude at p gives the window at w about (w + 64 - p) / 64
// of the full level, so the level halves where a window is centred on p. The
// coarse steps find the window pair that brackets the half level, the fine ones
// place it to within 2 samples of the window.
std::uint64_t KeyEdges::Onset(char key, std::uint64_t decided) const
{
    const std::uint64_t oldest = Oldest();
    if (decided < oldest + dtmf::kBlock || decided > newestEnd)
        return oldest;
    // The deciding block's loudest window: a short tone may have ended inside the block.
    double level = 0;
    std::uint64_t peak = decided - dtmf::kBlock;
    for (std::uint64_t w = peak; w + kWindow <= decided; w += kCoarse)
        if (const double e = Envelope(key, w); e > level)
            level = e, peak = w;
    const double half = level / 2;
    std::uint64_t w = peak;
    while (w >= oldest + kCoarse && Envelope(key, w) >= half)
        w -= kCoarse;
    if (Envelope(key, w) >= half)
        return oldest;  // sounding as far back as the blocks kept
    const std::uint64_t up = std::min(w + kCoarse, peak);
    while (w + kFine <= up && Envelope(key, w + kFine) < half)
        w += kFine;
    return std::min(w + kFine + kWindow / 2 - kFine / 2, decided);
}

std::uint64_t KeyEdges::Release(char key, std::uint64_t lastSeen) const
{
    const std::uint64_t oldest = Oldest();
    if (lastSeen < oldest + dtmf::kBlock || lastSeen > newestEnd || newestEnd < kWindow)
        return newestEnd;
    const std::uint64_t first = lastSeen - dtmf::kBlock;  // the last showing block's first window
    double level = 0;
    for (std::uint64_t w = first; w + kWindow <= lastSeen; w += kCoarse)
        level = std::max(level, Envelope(key, w));
    const double half = level / 2;
    const std::uint64_t limit = newestEnd - kWindow;
    std::uint64_t w = first;
    while (w + kCoarse <= limit && Envelope(key, w + kCoarse) >= half)
        w += kCoarse;
    if (w + kCoarse > limit)
        return newestEnd;  // sounding to the newest block kept
    const std::uint64_t down = w + kCoarse;
    while (w + kFine < down && Envelope(key, w + kFine) >= half)
        w += kFine;
    return w + kWindow / 2 + kFine / 2;
}
