#include "Resampler.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace tool {

namespace {

// One cycle: 441 output samples from 320 input samples, each output with a phase of its own.
constexpr int kUp = 441, kDown = 320, kTaps = Resampler::kTaps, kHalf = kTaps / 2;
// The SIMD paths make 8 outputs at a time; the tables run 7 entries into the next cycle so that no
// group needs to wrap.
constexpr int kGroup = 8, kEntries = kUp + kGroup - 1;
// Q15 taps: each phase sums to exactly 1.0, so a constant input comes out unchanged.
constexpr int kShift = 15, kUnity = 1 << kShift;

// Kaiser-windowed sinc. The cut-off lies well below 4 kHz so that 16 taps reach the stop band by
// 4.4 kHz; DTMF ends at 1.7 kHz, and the band up to 3 kHz loses at most 2.4 dB.
constexpr double kCutoffHz = 3300, kBeta = 7;

struct Tables {
    alignas(32) std::int16_t taps[kEntries][kTaps];  // for output k of a cycle, in input order
    int start[kEntries];                             // its first input, from the cycle's first input
};

// sin and the Bessel function I0 from + - * / alone, which IEEE arithmetic rounds alike everywhere
// (the file is built without contraction into FMA), so the tables do not depend on a libm.
constexpr double kPi = 3.14159265358979323846;

double Sine(double x)
{
    x -= 2 * kPi * std::floor(x / (2 * kPi) + 0.5);
    double term = x, sum = x;
    for (int n = 1; n < 30; ++n) {
        term *= -x * x / ((2 * n) * (2 * n + 1));
        sum += term;
    }
    return sum;
}

double BesselI0(double x)
{
    double term = 1, sum = 1;
    for (int k = 1; k < 60; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
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
        int sum = 0, peak = 0;
        for (int i = 0; i < kTaps; ++i) {
            // Output time minus input time, in input samples: in (-8, 8] when k lies on an input.
            const double tau = static_cast<double>(phase) / kUp + (kHalf - 1 - i);
            const double x = cutoff * tau, edge = tau / kHalf;
            const double sinc = x == 0 ? 1 : Sine(kPi * x) / (kPi * x);
            const double window = BesselI0(kBeta * std::sqrt(std::max(0.0, 1 - edge * edge))) / BesselI0(kBeta);
            t.taps[k][i] = static_cast<std::int16_t>(std::floor(cutoff * sinc * window * kUnity + 0.5));
            sum += t.taps[k][i];
            peak = std::abs(t.taps[k][i]) > std::abs(t.taps[k][peak]) ? i : peak;
        }
        t.taps[k][peak] = static_cast<std::int16_t>(t.taps[k][peak] + kUnity - sum);
    }
    for (int k = kUp; k < kEntries; ++k) {
        std::copy_n(t.taps[k - kUp], kTaps, t.taps[k]);
        t.start[k] = t.start[k - kUp] + kDown;
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

std::int16_t One(const std::int16_t* x, const std::int16_t* taps)
{
    std::int32_t sum = 0;
    for (int i = 0; i < kTaps; ++i)
        sum += x[i] * taps[i];
    return Round(sum);
}

// Outputs [j, j + count) from `in`, which holds the input from position `first` on. Returns the
// output index within the cycle and the cycle's first input as an index into `in` after `done`
// outputs made by groups, for the single outputs that finish the run.
struct Position {
    int k;
    std::ptrdiff_t base;
};

Position At(std::int64_t j, std::int64_t first)
{
    return {static_cast<int>(j % kUp), static_cast<std::ptrdiff_t>(j / kUp * kDown - first)};
}

void Singles(const std::int16_t* in, Position p, std::int16_t* out, std::size_t count)
{
    const Tables& f = Filter();
    for (std::size_t n = 0; n < count; ++n) {
        out[n] = One(in + p.base + f.start[p.k], f.taps[p.k]);
        if (++p.k == kUp)
            p.k = 0, p.base += kDown;
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

Position GroupsSse2(const std::int16_t* in, Position p, std::int16_t* out, std::size_t groups)
{
    const Tables& f = Filter();
    for (std::size_t g = 0; g < groups; ++g, out += kGroup) {
        __m128i sums[kGroup];
        for (int n = 0; n < kGroup; ++n) {
            const auto* x = reinterpret_cast<const __m128i*>(in + p.base + f.start[p.k + n]);
            const auto* taps = reinterpret_cast<const __m128i*>(f.taps[p.k + n]);
            sums[n] = _mm_add_epi32(_mm_madd_epi16(_mm_loadu_si128(x), _mm_load_si128(taps)),
                                    _mm_madd_epi16(_mm_loadu_si128(x + 1), _mm_load_si128(taps + 1)));
        }
        Store8(out, Totals(sums[0], sums[1], sums[2], sums[3]), Totals(sums[4], sums[5], sums[6], sums[7]));
        if ((p.k += kGroup) >= kUp)
            p.k -= kUp, p.base += kDown;
    }
    return p;
}

__attribute__((target("avx2"))) Position GroupsAvx2(const std::int16_t* in, Position p, std::int16_t* out,
                                                    std::size_t groups)
{
    const Tables& f = Filter();
    for (std::size_t g = 0; g < groups; ++g, out += kGroup) {
        __m256i sums[kGroup];
        for (int n = 0; n < kGroup; ++n) {
            const auto* x = reinterpret_cast<const __m256i*>(in + p.base + f.start[p.k + n]);
            sums[n] = _mm256_madd_epi16(_mm256_loadu_si256(x),
                                        _mm256_load_si256(reinterpret_cast<const __m256i*>(f.taps[p.k + n])));
        }
        // Pairwise sums: lane n of each half holds a part of sum n.
        const __m256i q0 = _mm256_hadd_epi32(_mm256_hadd_epi32(sums[0], sums[1]), _mm256_hadd_epi32(sums[2], sums[3]));
        const __m256i q1 = _mm256_hadd_epi32(_mm256_hadd_epi32(sums[4], sums[5]), _mm256_hadd_epi32(sums[6], sums[7]));
        Store8(out, _mm_add_epi32(_mm256_castsi256_si128(q0), _mm256_extracti128_si256(q0, 1)),
               _mm_add_epi32(_mm256_castsi256_si128(q1), _mm256_extracti128_si256(q1, 1)));
        if ((p.k += kGroup) >= kUp)
            p.k -= kUp, p.base += kDown;
    }
    return p;
}
#endif

}  // namespace

bool Resampler::Available(Path path)
{
#if defined(__SSE2__)
    if (path == Path::Avx2)
        return __builtin_cpu_supports("avx2");
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
    // Output j needs the inputs up to floor(j * 320/441) + 8.
    const std::int64_t last = received - kHalf - 1;
    return Run(last < 0 ? 0 : ((last + 1) * kUp - 1) / kDown + 1);
}

std::span<const std::int16_t> Resampler::Flush()
{
    in.insert(in.end(), kHalf, 0);
    return Run((received * kUp + kDown - 1) / kDown);
}

std::span<const std::int16_t> Resampler::Run(std::int64_t end)
{
    const auto count = static_cast<std::size_t>(std::max<std::int64_t>(end - made, 0));
    out.resize(count);
    Position p = At(made, first);
    std::size_t done = 0;
#if defined(__SSE2__)
    if (path != Path::Portable) {
        const std::size_t groups = count / kGroup;
        p = path == Path::Avx2 ? GroupsAvx2(in.data(), p, out.data(), groups)
                               : GroupsSse2(in.data(), p, out.data(), groups);
        done = groups * kGroup;
    }
#endif
    Singles(in.data(), p, out.data() + done, count - done);
    made += static_cast<std::int64_t>(count);
    // Keep the input from the next output's first one on.
    const std::int64_t keep = made * kDown / kUp - kHalf + 1;
    in.erase(in.begin(), in.begin() + (keep - first));
    first = keep;
    return out;
}

}  // namespace tool
