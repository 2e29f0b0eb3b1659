#include "StrictDetector.h"

#include <algorithm>
#include <cmath>

#include "DtmfFacts.h"
#include "KeyDetector.h"

namespace {

using dtmf::kKeys, dtmf::kToneHz;
constexpr double kRate = dtmf::kRate, kPoints = dtmf::kBlock;
constexpr int kQuarter = 64;

// Bin energy that a full-scale sine leaves in its peak bin and the two beside
// it, after the Hamming window and the transform's scaling (8.64 and 3.68 per
// unit of amplitude, whatever the tone's offset from the bin centre).
constexpr double kFullScaleToneEnergy = 101.7 * 32767.0 * 32767.0;

std::int64_t Q10(double v)
{
    return std::llround(v * 1024);
}

std::int64_t RatioQ10(double db)
{
    return Q10(std::pow(10.0, std::clamp(db, -40.0, 40.0) / 10));
}

// a * aScale <= b * bScale, exactly: bin energies times ratios can pass 2^63.
bool AtMost(std::int64_t a, std::int64_t aScale, std::int64_t b, std::int64_t bScale)
{
    return static_cast<__int128>(a) * aScale <= static_cast<__int128>(b) * bScale;
}

std::int64_t Sq(std::int64_t v)
{
    return v * v;
}

}  // namespace

StrictKeyDetector::StrictKeyDetector(const StrictLimits& limits)
{
    for (int i = 0; i < 8; ++i)
        maxDeviationQ10[i] = Q10(limits.maxDeviation * kToneHz[i] * kPoints / kRate);
    maxDriftQ10 = Q10(limits.maxDriftHz * kPoints / kRate);
    minToneEnergy = std::llround(kFullScaleToneEnergy * std::pow(10.0, limits.minToneDbfs / 10));
    columnOverRowQ10 = RatioQ10(limits.maxColumnAboveRowDb);
    rowOverColumnQ10 = RatioQ10(limits.maxRowAboveColumnDb);
    peakOverRestQ10 = RatioQ10(limits.minPeakAboveRestDb);
    releaseQ10 = RatioQ10(limits.releaseDropDb);
    minQuarters = static_cast<int>(limits.minToneMs * kRate / 1000 / kQuarter);
}

StrictKeyDetector::Tones StrictKeyDetector::Measure(const int* spectrum, int keyIndex) const
{
    Tones tones;
    tones.valid = true;
    for (int tone : {keyIndex / 4, 4 + keyIndex % 4}) {
        const double nominal = kToneHz[tone] * kPoints / kRate;  // in bins
        const int bin = static_cast<int>(std::lround(nominal));
        const int p = static_cast<int>(std::max_element(spectrum + bin - 1, spectrum + bin + 2) - spectrum);
        const std::int64_t a = spectrum[p - 1], b = spectrum[p], c = spectrum[p + 1];
        (tone < 4 ? tones.low : tones.high) = Sq(a) + Sq(b) + Sq(c);
        (tone < 4 ? tones.lowPeak : tones.highPeak) = p;
        // Offset of the tone from bin p, (c - a) / (a + 2b + c) * 2.2 bins for a
        // Hamming window (within 0.01 bin); compared scaled by 5 (a + 2b + c) * 1024.
        const std::int64_t den = a + 2 * b + c;
        const std::int64_t offset = 5 * (p * 1024 - Q10(nominal)) * den + 11 * 1024 * (c - a);
        const bool peak = b >= a && b >= c && den > 0;
        if (!peak || std::abs(offset) > 5 * maxDeviationQ10[tone] * den)
            tones.valid = false;
        else
            (tone < 4 ? tones.lowDrift : tones.highDrift) = offset / (5 * den);
    }
    return tones;
}

bool StrictKeyDetector::LongEnough(const short* samples)
{
    std::copy(quarters + 4, quarters + 8, quarters);
    for (int q = 0; q < 4; ++q) {
        std::int64_t e = 0;
        for (int i = q * kQuarter; i < (q + 1) * kQuarter; ++i)
            e += Sq(samples[i]);
        quarters[4 + q] = e;
    }
    // Quarters that hold at least 30 % of the loudest one's energy are sound;
    // the longest run of them over the last two blocks is the sound's length.
    const std::int64_t loudest = *std::max_element(quarters, quarters + 8);
    int run = 0, longest = 0;
    for (std::int64_t e : quarters) {
        run = e * 10 >= loudest * 3 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest >= minQuarters;
}

char StrictKeyDetector::Held() const
{
    return held >= 0 ? kKeys[static_cast<std::size_t>(held)] : '\0';
}

char StrictKeyDetector::ProcessBlock(const short* samples, const int* spectrum, int threshold)
{
    const bool longEnough = LongEnough(samples);

    int key = -1;
    Tones tones;
    if (const char k = KeyDetector::Classify(spectrum, threshold)) {
        const int index = dtmf::KeyIndex(k);
        tones = Measure(spectrum, index);
        // The loudest other bin, away from the tones' main lobes (a tone cut
        // inside the block spreads to 3 bins either side): chords, harmonics,
        // formants and broadband noise all leave one that is too loud.
        std::int64_t rest = 0;
        for (int i = 1; i < 128; ++i)
            if (std::abs(i - tones.lowPeak) > 3 && std::abs(i - tones.highPeak) > 3)
                rest = std::max(rest, Sq(spectrum[i]));
        if (tones.valid && std::min(tones.low, tones.high) >= minToneEnergy &&
            AtMost(tones.high, 1024, tones.low, columnOverRowQ10) &&
            AtMost(tones.low, 1024, tones.high, rowOverColumnQ10) &&
            AtMost(rest, peakOverRestQ10, std::max(tones.low, tones.high), 1024))
            key = index;
    }

    if (held >= 0) {
        // A break of a few milliseconds spoils one block; a pause takes the
        // tones away or spoils block after block.
        const Tones now = key == held ? tones : Measure(spectrum, held);
        const std::int64_t energy = now.low + now.high;
        if (key == held) {
            heldEnergy = energy;
            heldMisses = 0;
        } else if (++heldMisses >= 3 || !AtMost(heldEnergy, 1024, energy, releaseQ10)) {
            held = -1;
        }
    }

    char handOn = '\0';
    // Both tones must hold still over the two blocks: a glide through the key's
    // frequencies (sweeps, sirens, sung notes) passes every other check.
    const bool steady = std::abs(tones.lowDrift - lastTones.lowDrift) <= maxDriftQ10 &&
                        std::abs(tones.highDrift - lastTones.highDrift) <= maxDriftQ10;
    if (key >= 0 && key == lastValid && key != held && longEnough && steady) {
        handOn = kKeys[key];
        held = key;
        heldEnergy = tones.low + tones.high;
        heldMisses = 0;
    }
    lastValid = key;
    lastTones = tones;
    return handOn;
}
