#include "StrictDetector.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "DtmfFacts.h"
#include "FFT.h"
#include "KeyDetector.h"

namespace {

using dtmf::kKeys, dtmf::kToneHz;
constexpr double kRate = dtmf::kRate, kPoints = dtmf::kBlock;
constexpr int kQuarter = 64;
constexpr int kFirst = StrictKeyDetector::kFirstBin, kLast = StrictKeyDetector::kLastBin;

// Bin energy that a full-scale sine leaves in its peak bin and the two beside
// it, after the Hamming window and the transform's scaling (8.64 and 3.68 per
// unit of amplitude, whatever the tone's offset from the bin centre).
constexpr double kFullScaleToneEnergy = 101.7 * 32767.0 * 32767.0;

// The harmonic each tone is weighed against: the row's third (its second can
// fall on a column tone), the column's second.
constexpr int kHarmonicBins[8] = {dtmf::BinOf(3 * kToneHz[0]), dtmf::BinOf(3 * kToneHz[1]), dtmf::BinOf(3 * kToneHz[2]),
                                  dtmf::BinOf(3 * kToneHz[3]), dtmf::BinOf(2 * kToneHz[4]), dtmf::BinOf(2 * kToneHz[5]),
                                  dtmf::BinOf(2 * kToneHz[6]), dtmf::BinOf(2 * kToneHz[7])};
static_assert(kHarmonicBins[0] - 4 > kLast && kHarmonicBins[7] + 4 < 128 - kLast);

std::int64_t Q10(double v)
{
    return std::llround(v * 1024);
}

std::int64_t RatioQ10(double db)
{
    return Q10(std::pow(10.0, std::clamp(db, -40.0, 40.0) / 10));
}

// dB as log2 in 1/256 steps, the unit of the clarity margins.
int DbToL(double db)
{
    return static_cast<int>(std::lround(db * 256 / (10 * std::log10(2.0))));
}

// log2(v) in 1/256 steps (0 for v <= 1): the top bit's position, and on the
// fraction f below it the fit log2(1 + f) ~ f + 0.3466 f (1 - f), within 0.008.
int Log2L(std::int64_t v)
{
    if (v <= 1)
        return 0;
    const auto u = static_cast<std::uint64_t>(v);
    const int top = std::bit_width(u) - 1;
    const std::int64_t f = static_cast<std::int64_t>(top >= 16 ? u >> (top - 16) : u << (16 - top)) & 0xFFFF;
    const std::int64_t fit = f + (((f * (65536 - f)) >> 16) * 22714 >> 16);
    return top * 256 + static_cast<int>(fit >> 8);
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

// Sum of the squares of 64 samples, exactly. pmaddwd adds two squares into a
// lane, which only -32768 twice takes to 2^31: read unsigned, it is exact.
std::int64_t Energy(const short* x)
{
#if defined(__SSE2__)
    __m128i sum = _mm_setzero_si128();
    for (int i = 0; i < kQuarter; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i));
        const __m128i pairs = _mm_madd_epi16(v, v);
        sum = _mm_add_epi64(sum, _mm_add_epi64(_mm_unpacklo_epi32(pairs, _mm_setzero_si128()),
                                               _mm_unpackhi_epi32(pairs, _mm_setzero_si128())));
    }
    std::int64_t halves[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), sum);
    return halves[0] + halves[1];
#else
    std::int64_t e = 0;
    for (int i = 0; i < kQuarter; ++i)
        e += Sq(x[i]);
    return e;
#endif
}

// Energy of bin `at` and its two neighbours.
std::int64_t Lobe(const int* spectrum, int at)
{
    return Sq(spectrum[at - 1]) + Sq(spectrum[at]) + Sq(spectrum[at + 1]);
}

}  // namespace

StrictKeyDetector::StrictKeyDetector(const StrictLimits& limits)
{
    for (int i = 0; i < 8; ++i) {
        nominalQ10[i] = Q10(kToneHz[i] * kPoints / kRate);
        maxDeviationQ10[i] = Q10(limits.maxDeviation * kToneHz[i] * kPoints / kRate);
    }
    maxDriftQ10 = Q10(limits.maxDriftHz * kPoints / kRate);
    minToneEnergy = std::llround(kFullScaleToneEnergy * std::pow(10.0, limits.minToneDbfs / 10));
    columnOverRowQ10 = RatioQ10(limits.maxColumnAboveRowDb);
    rowOverColumnQ10 = RatioQ10(limits.maxRowAboveColumnDb);
    releaseQ10 = RatioQ10(limits.releaseDropDb);
    floorL = DbToL(-10);
    neighbourCapL = DbToL(limits.neighbourCapDb);
    bandCapL = DbToL(limits.bandCapDb);
    harmonicCapL = DbToL(limits.harmonicCapDb);
    minClarityL = DbToL(limits.minClarityDb);
    minRiseL = DbToL(limits.minRiseDb);
    minQuarters = static_cast<int>(limits.minToneMs * kRate / 1000 / kQuarter);
}

StrictKeyDetector::Tones StrictKeyDetector::Measure(const int* spectrum, int keyIndex) const
{
    Tones tones;
    tones.valid = true;
    for (int tone : {keyIndex / 4, 4 + keyIndex % 4}) {
        const int bin = dtmf::BinOf(kToneHz[tone]);
        const int p = static_cast<int>(std::max_element(spectrum + bin - 1, spectrum + bin + 2) - spectrum);
        const std::int64_t a = spectrum[p - 1], b = spectrum[p], c = spectrum[p + 1];
        (tone < 4 ? tones.low : tones.high) = Sq(a) + Sq(b) + Sq(c);
        (tone < 4 ? tones.lowPeak : tones.highPeak) = p;
        // Offset of the tone from bin p, (c - a) / (a + 2b + c) * 29/16 bins for a
        // Hamming window (within 0.003 bin up to half a bin); compared scaled by
        // 16 (a + 2b + c) * 1024.
        const std::int64_t den = a + 2 * b + c;
        const std::int64_t offset = 16 * (p * 1024 - nominalQ10[tone]) * den + 29 * 1024 * (c - a);
        const bool peak = b >= a && b >= c && den > 0;
        if (!peak || std::abs(offset) > 16 * maxDeviationQ10[tone] * den)
            tones.valid = false;
        else
            (tone < 4 ? tones.lowDrift : tones.highDrift) = offset / (16 * den);
    }
    return tones;
}

int StrictKeyDetector::Clarity(const FFT& fft, short* work, int* spectrum, const Tones& tones, int keyIndex) const
{
    const int peaks[2] = {tones.lowPeak, tones.highPeak};
    const std::int64_t energies[2] = {tones.low, tones.high};
    const auto outside = [&](int i) { return std::abs(i - peaks[0]) > 2 && std::abs(i - peaks[1]) > 2; };
    const auto clampTo = [&](int l, int cap) { return std::clamp(l, floorL, cap); };

    // Formants and harmonics crowd a voiced tone's neighbours; a key's tone
    // stands alone, whatever the speech around it does elsewhere.
    int neighbour = neighbourCapL;
    for (int t = 0; t < 2; ++t) {
        std::int64_t sum = 0;
        int count = 0;
        for (int d = 3; d <= 5; ++d)
            for (int i : {peaks[t] - d, peaks[t] + d})
                if (outside(i))
                    sum += Sq(spectrum[i]), ++count;
        if (sum > 0)
            neighbour = std::min(neighbour, Log2L(energies[t]) - Log2L(sum) + Log2L(count));
    }

    std::int64_t loudest = 0;
    for (int i = kFirst; i <= kLast; ++i)
        if (outside(i))
            loudest = std::max(loudest, Sq(spectrum[i]));
    const int band = loudest > 0 ? Log2L(std::min(tones.low, tones.high)) - Log2L(loudest) : bandCapL;

    // The harmonics lie beyond the band: the pairs that hold the bins read here
    // are formed once each, a bin past 64 coming as its pair's mirror 128 - k.
    const int harmonics[2] = {kHarmonicBins[keyIndex / 4], kHarmonicBins[4 + keyIndex % 4]};
    bool pairs[65] = {}, mirrors[65] = {};
    for (int h : harmonics)
        for (int i : {h - 4, h - 3, h - 1, h, h + 1, h + 3, h + 4}) {
            pairs[std::min(i, 128 - i)] = true;
            mirrors[std::min(i, 128 - i)] |= i > 64;
        }
    for (int k = kLast + 1; k <= 64; ++k)
        if (pairs[k])
            fft.FormBins(work, spectrum, k, k, mirrors[k]);
    const auto bin = [&](int i) { return Sq(spectrum[i]); };
    int harmonic = harmonicCapL;
    for (int t = 0; t < 2; ++t) {
        const int h = harmonics[t];
        const std::int64_t lobe = bin(h - 1) + bin(h) + bin(h + 1);
        // A peak 3 dB above the sides' lobe, broadband hiss being none; a side
        // next to the other harmonic is left out, so that two cannot hide each other.
        std::int64_t side = 0;
        for (int i : {h - 4, h - 3, h + 3, h + 4})
            if (std::abs(i - harmonics[1 - t]) > 2)
                side = std::max(side, bin(i));
        if (lobe > 0 && lobe >= 6 * side)
            harmonic = std::min(harmonic, Log2L(energies[t]) - Log2L(lobe));
    }
    return clampTo(neighbour, neighbourCapL) + clampTo(band, bandCapL) + clampTo(harmonic, harmonicCapL);
}

bool StrictKeyDetector::Rose(const Tones& tones) const
{
    for (int p : {tones.lowPeak, tones.highPeak}) {
        std::int64_t before = INT64_MAX;
        for (int back = 2; back <= kHistory; ++back)
            before = std::min(before, Lobe(history[(block + kHistory - back) % kHistory], p - kFirst));
        const std::int64_t now = p == tones.lowPeak ? tones.low : tones.high;
        if (Log2L(now) - Log2L(before) < minRiseL)
            return false;
    }
    return true;
}

bool StrictKeyDetector::LongEnough(const short* samples)
{
    std::copy(quarters + 4, quarters + 8, quarters);
    for (int q = 0; q < 4; ++q)
        quarters[4 + q] = Energy(samples + q * kQuarter);
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

char StrictKeyDetector::ProcessBlock(const short* samples, const FFT& fft, short* work, int* spectrum, int threshold)
{
    fft.Transform(samples, work);
    fft.FormBins(work, spectrum, kFirst, kLast);
    const bool longEnough = LongEnough(samples);

    int key = -1, clarity = 0;
    Tones tones;
    const char classified = KeyDetector::Classify(spectrum, threshold);
    if (classified) {
        const int index = dtmf::KeyIndex(classified);
        tones = Measure(spectrum, index);
        if (tones.valid && std::min(tones.low, tones.high) >= minToneEnergy &&
            AtMost(tones.high, 1024, tones.low, columnOverRowQ10) &&
            AtMost(tones.low, 1024, tones.high, rowOverColumnQ10))
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
    // A held key needs no clarity: speech that swells over it must not cut it in two.
    if (key >= 0 && key != held)
        clarity = Clarity(fft, work, spectrum, tones, key);

    char handOn = '\0';
    // Both tones must hold still over the two blocks: a glide through the key's
    // frequencies (sweeps, sirens, sung notes) passes every other check.
    const bool steady = std::abs(tones.lowDrift - lastTones.lowDrift) <= maxDriftQ10 &&
                        std::abs(tones.highDrift - lastTones.highDrift) <= maxDriftQ10;
    if (key >= 0 && key == lastValid && key != held && longEnough && steady && clarity + lastClarity >= minClarityL &&
        Rose(tones)) {
        handOn = kKeys[static_cast<std::size_t>(key)];
        held = key;
        heldEnergy = tones.low + tones.high;
        heldMisses = 0;
    }
    lastValid = key;
    lastTones = tones;
    lastClarity = clarity;
    std::copy_n(spectrum + kFirst, kBins, history[block]);
    block = (block + 1) % kHistory;
    return handOn;
}
