#include "Resampler.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

// One cycle: 441 output samples from 320 input samples, each output with a phase of its own.
constexpr int kUp = 441, kDown = 320, kTaps = Resampler::kTaps, kHalf = kTaps / 2;
// The SIMD paths make the outputs of a cycle 8 at a time (55 groups, then one on its own).
constexpr int kGroup = 8, kGroups = kUp / kGroup, kPairs = 11;
// Q15 taps: each phase sums to exactly 1.0, so a constant input comes out unchanged.
constexpr int kShift = 15, kUnity = 1 << kShift;

// Kaiser-windowed sinc. The cut-off lies well below 4 kHz so that 16 taps reach the stop band by
// 4.4 kHz; DTMF ends at 1.7 kHz, and the band up to 3 kHz loses at most 3 dB.
constexpr double kCutoffHz = 3250, kBeta = 8;

struct Tables {
    alignas(32) std::int16_t taps[kUp][kTaps];  // for output k of a cycle, in input order
    int start[kUp];                             // its first input, from the cycle's first input
    // Group g's taps by input pair and output: pair i of output n (zero outside its window) at
    // [g][i][2n], for a multiply-add of one broadcast input pair with all 8 outputs.
    alignas(32) std::int16_t pairs[kGroups][kPairs][2 * kGroup];
};

// The 8 windows of a group start within 6 inputs of each other, so together they span 11 pairs.
static_assert([] {
    for (int k = 0; k + kGroup <= kUp; k += kGroup)
        if ((k + kGroup - 1) * kDown / kUp - k * kDown / kUp + kTaps > 2 * kPairs)
            return false;
    return true;
}());

// sin and the Bessel function I0 from + - * / alone, which IEEE arithmetic rounds alike everywhere
// (the file is built without contraction into FMA), as it does sqrt and floor: the tables do not
// depend on a libm.
constexpr double kPi = 3.14159265358979323846;
constexpr int kTerms = 24;  // enough for |x| <= pi in Sine and x <= 8 in BesselI0

// 1 / (k * k), and 1 / ((2k)(2k + 1)) for the sine's terms, worked out by the compiler.
constexpr auto kReciprocals = [] {
    std::array<std::array<double, kTerms + 1>, 2> r{};
    for (int k = 1; k <= kTerms; ++k)
        r[0][k] = 1.0 / (k * k), r[1][k] = 1.0 / ((2 * k) * (2 * k + 1));
    return r;
}();

double Sine(double x)
{
    x -= 2 * kPi * std::floor(x * (0.5 / kPi) + 0.5);
    double term = x, sum = x;
    for (int n = 1; n <= kTerms; ++n) {
        term *= -x * x * kReciprocals[1][n];
        sum += term;
    }
    return sum;
}

double BesselI0(double x)
{
    const double quarter = x * x / 4;
    double term = 1, sum = 1;
    for (int k = 1; k <= kTerms; ++k) {
        term *= quarter * kReciprocals[0][k];
        sum += term;
    }
    return sum;
}

Tables Build()
{
    Tables t{};
    const double cutoff = kCutoffHz / (Resampler::kInputRate / 2.0);
    for (int k = 0; k < kUp; ++k) {
        const int phase = k * kDown % kUp;
        t.start[k] = k * kDown / kUp - kHalf + 1;
        double taps[kTaps], total = 0;
        for (int i = 0; i < kTaps; ++i) {
            // Output time minus input time, in input samples: in (-8, 8] when k lies on an input.
            const double tau = static_cast<double>(phase) / kUp + (kHalf - 1 - i);
            const double x = cutoff * tau, edge = tau / kHalf;
            const double sinc = x == 0 ? 1 : Sine(kPi * x) / (kPi * x);
            taps[i] = sinc * BesselI0(kBeta * std::sqrt(std::max(0.0, 1 - edge * edge)));
            total += taps[i];
        }
        // Scaled to sum to 1.0 and rounded down; then the taps with the largest remainders go up
        // by one until the sum is exact again. Putting all of the difference on one tap instead
        // would raise the images by about 6 dB.
        int sum = 0;
        for (int i = 0; i < kTaps; ++i) {
            const double scaled = taps[i] * kUnity / total, whole = std::floor(scaled);
            t.taps[k][i] = static_cast<std::int16_t>(whole);
            taps[i] = scaled - whole;
            sum += t.taps[k][i];
        }
        for (; sum < kUnity; ++sum) {
            const auto up = std::max_element(taps, taps + kTaps) - taps;
            ++t.taps[k][up];
            taps[up] = -1;
        }
    }
    for (int g = 0; g < kGroups; ++g)
        for (int n = 0; n < kGroup; ++n) {
            const int k = g * kGroup + n, offset = t.start[k] - t.start[g * kGroup];
            for (int i = 0; i < kTaps; ++i)
                t.pairs[g][(offset + i) / 2][2 * n + (offset + i) % 2] = t.taps[k][i];
        }
    return t;
}

const Tables& Filter()
{
    static const Tables tables = Build();
    return tables;
}

// The sum of |taps| of a phase stays below 2^16, so no sum of products leaves 32 bits on any path.
std::int16_t Round(std::int32_t sum)
{
    return static_cast<std::int16_t>(std::clamp((sum + (1 << (kShift - 1))) >> kShift, -32768, 32767));
}

// Output k of the cycle whose first input is in[base].
std::int16_t One(const Tables& f, const std::int16_t* in, std::ptrdiff_t base, int k)
{
    const std::int16_t* x = in + base + f.start[k];
    std::int32_t sum = 0;
    for (int i = 0; i < kTaps; ++i)
        sum += x[i] * f.taps[k][i];
    return Round(sum);
}

// Groups g..g+count-1 of the cycle whose first input is in[base], 8 outputs each.
using Groups = void (*)(const Tables& f, const std::int16_t* in, std::ptrdiff_t base, int g, int count,
                        std::int16_t* out);

// Outputs [j, j + count), `in` holding the input from position `first` on: by `groups` where they
// fill whole groups, one by one elsewhere.
void Make(const std::int16_t* in, std::int64_t first, std::int64_t j, std::int16_t* out, std::size_t count,
          Groups groups)
{
    const Tables& f = Filter();
    int k = static_cast<int>(j % kUp);
    auto base = static_cast<std::ptrdiff_t>(j / kUp * kDown - first);
    for (std::size_t n = 0; n < count;) {
        const int whole = static_cast<int>(std::min<std::size_t>(kGroups - k / kGroup, (count - n) / kGroup));
        if (groups && k % kGroup == 0 && whole > 0) {
            groups(f, in, base, k / kGroup, whole, out + n);
            n += static_cast<std::size_t>(whole) * kGroup, k += whole * kGroup;
        } else {
            out[n++] = One(f, in, base, k++);
        }
        if (k == kUp)
            k = 0, base += kDown;
    }
}

#if defined(__SSE2__)
// Four 4-lane sums side by side: lane i of the result is the total of a[i].
__m128i Totals(__m128i a0, __m128i a1, __m128i a2, __m128i a3)
{
    const __m128i t0 = _mm_add_epi32(_mm_unpacklo_epi32(a0, a1), _mm_unpackhi_epi32(a0, a1));
    const __m128i t1 = _mm_add_epi32(_mm_unpacklo_epi32(a2, a3), _mm_unpackhi_epi32(a2, a3));
    return _mm_add_epi32(_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1));
}

// Eight sums, rounded and saturated to 16 bits as Round does.
void Store8(std::int16_t* out, __m128i low, __m128i high)
{
    const __m128i half = _mm_set1_epi32(1 << (kShift - 1));
    low = _mm_srai_epi32(_mm_add_epi32(low, half), kShift);
    high = _mm_srai_epi32(_mm_add_epi32(high, half), kShift);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(low, high));
}

void GroupsSse2(const Tables& f, const std::int16_t* in, std::ptrdiff_t base, int g, int count, std::int16_t* out)
{
    for (const int end = g + count; g < end; ++g, out += kGroup) {
        __m128i sums[kGroup];
#pragma GCC unroll 8
        for (int n = 0; n < kGroup; ++n) {
            const int k = g * kGroup + n;
            const auto* x = reinterpret_cast<const __m128i*>(in + base + f.start[k]);
            const auto* taps = reinterpret_cast<const __m128i*>(f.taps[k]);
            sums[n] = _mm_add_epi32(_mm_madd_epi16(_mm_loadu_si128(x), _mm_load_si128(taps)),
                                    _mm_madd_epi16(_mm_loadu_si128(x + 1), _mm_load_si128(taps + 1)));
        }
        Store8(out, Totals(sums[0], sums[1], sums[2], sums[3]), Totals(sums[4], sums[5], sums[6], sums[7]));
    }
}

// The outputs in the lanes and one input pair at a time: broadcasts come from the load ports,
// where the sums across lanes of GroupsSse2 wait for the shuffle port.
__attribute__((target("avx2"))) void GroupsAvx2(const Tables& f, const std::int16_t* in, std::ptrdiff_t base, int g,
                                                int count, std::int16_t* out)
{
    for (const int end = g + count; g < end; ++g, out += kGroup) {
        const std::int16_t* x = in + base + f.start[g * kGroup];
        __m256i sum = _mm256_setzero_si256();
#pragma GCC unroll 11  // as -O3 would: the loop itself costs as much as its body
        for (int i = 0; i < kPairs; ++i) {
            std::int32_t pair;
            std::memcpy(&pair, x + 2 * i, sizeof pair);
            const __m256i taps = _mm256_load_si256(reinterpret_cast<const __m256i*>(f.pairs[g][i]));
            sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_set1_epi32(pair), taps));
        }
        Store8(out, _mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    }
}
#endif

}  // namespace

bool Resampler::Available(Path path)
{
#if defined(__SSE2__)
    if (path == Path::Avx2)
        return __builtin_cpu_init(), __builtin_cpu_supports("avx2");  // safe before main too
    return true;
#else
    return path == Path::Portable || path == Path::Best;
#endif
}

Resampler::Resampler(Path p) : path(p), in(kHalf - 1, 0), first(1 - kHalf)
{
    if (path == Path::Best)
        path = Available(Path::Avx2) ? Path::Avx2 : Available(Path::Sse2) ? Path::Sse2 : Path::Portable;
    Filter();
}

std::span<const std::int16_t> Resampler::Process(std::span<const std::int16_t> samples)
{
    in.insert(in.end(), samples.begin(), samples.end());
    received += static_cast<std::int64_t>(samples.size());
    // Output j needs the inputs up to floor(j * 320/441) + 8, and a group reads one more.
    const std::int64_t last = received - kHalf - 2;
    return Run(last < 0 ? 0 : ((last + 1) * kUp - 1) / kDown + 1);
}

std::span<const std::int16_t> Resampler::Flush()
{
    in.insert(in.end(), kHalf + 1, 0);
    return Run((received * kUp + kDown - 1) / kDown);
}

std::span<const std::int16_t> Resampler::Run(std::int64_t end)
{
    const auto count = static_cast<std::size_t>(std::max<std::int64_t>(end - made, 0));
    out.resize(count);
    Groups groups = nullptr;
#if defined(__SSE2__)
    groups = path == Path::Avx2 ? GroupsAvx2 : path == Path::Sse2 ? GroupsSse2 : nullptr;
#endif
    Make(in.data(), first, made, out.data(), count, groups);
    made += static_cast<std::int64_t>(count);
    // Keep the input from the next output's first one on.
    const std::int64_t keep = made * kDown / kUp - kHalf + 1;
    in.erase(in.begin(), in.begin() + (keep - first));
    first = keep;
    return out;
}
