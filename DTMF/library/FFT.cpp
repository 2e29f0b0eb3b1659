// Fixed-point real-input FFT.
//
// The N real samples are read as M = N/2 complex points (even index = re, odd =
// im), transformed in place by a radix-2 decimation-in-time FFT that halves every
// stage, then split into the spectrum of the real input. The arithmetic is meant
// to be bit-exact: 32-bit two's complement sums and products, arithmetic right
// shifts, and 16-bit stores that wrap rather than saturate. Products are formed in
// 64 bits and truncated to 32 so that the wrap is explicit, never signed overflow.
#include "FFT.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "FixedPoint.h"

namespace {

// The tables' 2*pi: the value is part of the table contents, so exact 2*pi is not used.
constexpr double kTwoPi = 6.283185307;

// A store into the 16-bit workspace keeps the low 16 bits.
constexpr short Store16(std::int32_t v)
{
    return static_cast<short>(v);
}

// floor(v + 0.5) into Q15, where v only reaches the positive limit as +32768.
short RoundQ15(double v)
{
    const double r = std::floor(v + 0.5);
    return static_cast<short>(r > 32767.0 ? 32767.0 : r);
}

// Bin magnitude from its power p (p >= 0), scaled by 16. Large powers take the
// root of p and multiply by 16 afterwards; small ones that of 256*p (at most
// 2^30) so that the result keeps its low bits. Zero power gives 1.
std::int32_t Magnitude(std::int32_t p)
{
    return p > 4194304 ? FastRoot(p, 32) * 16 : FastRoot(p * 256, 512);
}

// Power of the point at `x` (re, im). Both parts at -32768 overflow 32 bits to a
// negative power, which counts as none.
std::int32_t Power(const short* x)
{
    const std::int64_t re = x[0], im = x[1];
    const std::int32_t p = Wrap32(re * re + im * im);
    return p < 0 ? 0 : p;
}

#if defined(__SSE2__)
// Four butterflies at a time, to the bit as the scalar ones. Each 32-bit lane
// holds one point (re in the low half, im in the high half), so pmaddwd forms
// re*x + im*y with the same 32-bit wrap as the scalar code.

// A twiddle per lane: w1 gives y1; w2 gives y2, or -y2 where -c would not fit
// 16 bits (c = -32768), which `neg` then flips back (the wrap is symmetric).
struct Twiddles {
    __m128i w1, w2, neg;
};

// c, s: four twiddle values each, in the low 16-bit lanes 0..3.
[[gnu::always_inline]] inline Twiddles MakeTwiddles(__m128i c, __m128i s)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i special = _mm_cmpeq_epi16(c, _mm_set1_epi16(-32768));
    const __m128i plain = _mm_unpacklo_epi16(s, _mm_sub_epi16(zero, c));
    const __m128i flipped = _mm_unpacklo_epi16(_mm_sub_epi16(zero, s), c);
    Twiddles t;
    t.w1 = _mm_unpacklo_epi16(c, s);
    t.neg = _mm_unpacklo_epi16(special, special);
    t.w2 = _mm_or_si128(_mm_andnot_si128(t.neg, plain), _mm_and_si128(t.neg, flipped));
    return t;
}

__m128i SignExtend16(__m128i v)
{
    return _mm_srai_epi32(_mm_slli_epi32(v, 16), 16);
}

__m128i Pack(__m128i re, __m128i im)
{
    return _mm_or_si128(_mm_and_si128(re, _mm_set1_epi32(0xFFFF)), _mm_slli_epi32(im, 16));
}

[[gnu::always_inline]] inline void Butterfly4(__m128i& a, __m128i& b, const Twiddles& t)
{
    const __m128i y1 = _mm_srai_epi32(_mm_madd_epi16(b, t.w1), 15);
    const __m128i y2 = _mm_srai_epi32(_mm_sub_epi32(_mm_xor_si128(_mm_madd_epi16(b, t.w2), t.neg), t.neg), 15);
    const __m128i bRe = SignExtend16(_mm_srai_epi32(_mm_add_epi32(SignExtend16(a), y1), 1));
    const __m128i bIm = SignExtend16(_mm_srai_epi32(_mm_sub_epi32(_mm_srai_epi32(a, 16), y2), 1));
    b = Pack(bRe, bIm);
    a = Pack(_mm_sub_epi32(bRe, y1), _mm_add_epi32(bIm, y2));
}

__m128i Load(const short* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

void Store(short* p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Two 16-bit table entries, t[0] and t[1], each twice: lanes t0 t0 t1 t1.
__m128i PairEach(const short* t)
{
    std::int32_t two;
    std::memcpy(&two, t, sizeof two);
    const __m128i v = _mm_cvtsi32_si128(two);
    return _mm_unpacklo_epi16(v, v);
}

// Every stage eight butterflies at a time where the processor has AVX2: the same lane arithmetic
// as Butterfly4 in registers twice as wide, each half doing what one step of the SSE2 loops does.
#define VARDELL_AVX2 __attribute__((target("avx2")))

struct WideTwiddles {
    __m256i w1, w2, neg;
};

// c, s: in the low four 16-bit lanes of each half, as MakeTwiddles takes them.
VARDELL_AVX2 inline WideTwiddles MakeWideTwiddles(__m256i c, __m256i s)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i special = _mm256_cmpeq_epi16(c, _mm256_set1_epi16(-32768));
    const __m256i plain = _mm256_unpacklo_epi16(s, _mm256_sub_epi16(zero, c));
    const __m256i flipped = _mm256_unpacklo_epi16(_mm256_sub_epi16(zero, s), c);
    WideTwiddles t;
    t.w1 = _mm256_unpacklo_epi16(c, s);
    t.neg = _mm256_unpacklo_epi16(special, special);
    t.w2 = _mm256_or_si256(_mm256_andnot_si256(t.neg, plain), _mm256_and_si256(t.neg, flipped));
    return t;
}

VARDELL_AVX2 inline __m256i SignExtend16(__m256i v)
{
    return _mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16);
}

VARDELL_AVX2 inline __m256i Pack(__m256i re, __m256i im)
{
    return _mm256_or_si256(_mm256_and_si256(re, _mm256_set1_epi32(0xFFFF)), _mm256_slli_epi32(im, 16));
}

VARDELL_AVX2 inline void Butterfly8(__m256i& a, __m256i& b, const WideTwiddles& t)
{
    const __m256i y1 = _mm256_srai_epi32(_mm256_madd_epi16(b, t.w1), 15);
    const __m256i y2 =
        _mm256_srai_epi32(_mm256_sub_epi32(_mm256_xor_si256(_mm256_madd_epi16(b, t.w2), t.neg), t.neg), 15);
    const __m256i bRe = SignExtend16(_mm256_srai_epi32(_mm256_add_epi32(SignExtend16(a), y1), 1));
    const __m256i bIm = SignExtend16(_mm256_srai_epi32(_mm256_sub_epi32(_mm256_srai_epi32(a, 16), y2), 1));
    b = Pack(bRe, bIm);
    a = Pack(_mm256_sub_epi32(bRe, y1), _mm256_add_epi32(bIm, y2));
}

VARDELL_AVX2 inline __m256i Load8(const short* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

VARDELL_AVX2 inline void Store8(short* p, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// Two SSE2 operands side by side: `low` takes the low halves of u and v, `high` their high halves.
VARDELL_AVX2 inline void Halves(__m256i u, __m256i v, __m256i& low, __m256i& high)
{
    low = _mm256_permute2x128_si256(u, v, 0x20);
    high = _mm256_permute2x128_si256(u, v, 0x31);
}

VARDELL_AVX2 inline __m256i Sides(__m128i low, __m128i high)
{
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// The stages of FastButterflies, for N >= 32; each step of the three last loops does two of the SSE2 loop's.
VARDELL_AVX2 void WideButterflies(short* x, int points, const short* cosTable, const short* sinTable)
{
    const int m = points / 2;
    for (int span = points / 4; span >= 8; span >>= 1)
        for (int g = 0, base = 0; base < m; ++g, base += 2 * span) {
            const WideTwiddles t = MakeWideTwiddles(_mm256_set1_epi16(cosTable[g]), _mm256_set1_epi16(sinTable[g]));
            for (int j = 0; j < span; j += 8) {
                short* pa = x + 2 * (base + j);
                short* pb = x + 2 * (base + span + j);
                __m256i a = Load8(pa), b = Load8(pb);
                Butterfly8(a, b, t);
                Store8(pa, a), Store8(pb, b);
            }
        }
    // Span 4: groups g (low half) and g + 1.
    for (int g = 0; g < m / 8; g += 2) {
        short* p = x + 16 * g;
        __m256i a, b, v0, v1;
        Halves(Load8(p), Load8(p + 16), a, b);
        Butterfly8(a, b,
                   MakeWideTwiddles(Sides(_mm_set1_epi16(cosTable[g]), _mm_set1_epi16(cosTable[g + 1])),
                                    Sides(_mm_set1_epi16(sinTable[g]), _mm_set1_epi16(sinTable[g + 1]))));
        Halves(a, b, v0, v1);
        Store8(p, v0), Store8(p + 16, v1);
    }
    // Span 2: groups g, g + 1 (low half) and g + 2, g + 3.
    for (int g = 0; g < m / 4; g += 4) {
        short* p = x + 8 * g;
        __m256i u, v, out0, out1;
        Halves(Load8(p), Load8(p + 16), u, v);
        __m256i a = _mm256_unpacklo_epi64(u, v), b = _mm256_unpackhi_epi64(u, v);
        Butterfly8(a, b,
                   MakeWideTwiddles(Sides(PairEach(cosTable + g), PairEach(cosTable + g + 2)),
                                    Sides(PairEach(sinTable + g), PairEach(sinTable + g + 2))));
        Halves(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b), out0, out1);
        Store8(p, out0), Store8(p + 16, out1);
    }
    // Span 1: groups g..g + 3 (low half) and g + 4..g + 7.
    const auto four = [](const short* t) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t)); };
    for (int g = 0; g < m / 2; g += 8) {
        short* p = x + 4 * g;
        __m256i u, v, out0, out1;
        Halves(Load8(p), Load8(p + 16), u, v);
        const __m256 fu = _mm256_castsi256_ps(u), fv = _mm256_castsi256_ps(v);
        __m256i a = _mm256_castps_si256(_mm256_shuffle_ps(fu, fv, _MM_SHUFFLE(2, 0, 2, 0)));
        __m256i b = _mm256_castps_si256(_mm256_shuffle_ps(fu, fv, _MM_SHUFFLE(3, 1, 3, 1)));
        Butterfly8(a, b,
                   MakeWideTwiddles(Sides(four(cosTable + g), four(cosTable + g + 4)),
                                    Sides(four(sinTable + g), four(sinTable + g + 4))));
        Halves(_mm256_unpacklo_epi32(a, b), _mm256_unpackhi_epi32(a, b), out0, out1);
        Store8(p, out0), Store8(p + 16, out1);
    }
}

bool HasAvx2()
{
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return has;
}
#endif

}  // namespace

FFT::FFT(int size) : points(size), wide(false)
{
#if defined(__SSE2__)
    wide = size >= 32 && HasAvx2();
#endif
    if (size < 4 || size > 32768 || (size & (size - 1)) != 0)
        throw std::invalid_argument("FFT size must be a power of two from 4 to 32768");
    // Order matters: the twiddles are placed through the reverse table.
    if (!InitializeReverse() || !InitializeTrig() || !InitializeWindow())
        throw std::bad_alloc();  // members already built are released by their unique_ptrs
}

FFT::~FFT() = default;

bool FFT::InitializeReverse()
{
    const int m = points / 2;
    reverse.reset(new (std::nothrow) short[m]);
    if (!reverse)
        return false;
    for (int i = 0; i < m; ++i) {
        int r = 0;
        for (int mask = points / 4; mask > 0; mask >>= 1)
            r = (r >> 1) + ((i & mask) ? m : 0);
        reverse[i] = static_cast<short>(r);
    }
    return true;
}

bool FFT::InitializeTrig()
{
    const int m = points / 2;
    sinTable.reset(new (std::nothrow) short[m]);
    cosTable.reset(new (std::nothrow) short[m]);
    if (!sinTable || !cosTable)
        return false;
    for (int i = 0; i < m; ++i) {
        const double theta = (i * kTwoPi) / points;
        const int at = reverse[i] / 2;
        sinTable[at] = RoundQ15(-32768.0 * std::sin(theta));
        cosTable[at] = RoundQ15(-32768.0 * std::cos(theta));
    }
    return true;
}

bool FFT::InitializeWindow()
{
    window.reset(new (std::nothrow) short[points]);
    if (!window)
        return false;
    for (int i = 0; i < points; ++i)
        window[i] = RoundQ15((0.54 - 0.46 * std::cos(i * kTwoPi / points)) * 32767.0);
    return true;
}

void FFT::Run(short* samples, int* out)
{
    const int m = points / 2;

    // 1. Hamming window, Q15.
    for (int t = 0; t < points; ++t)
        samples[t] = Store16((samples[t] * window[t]) >> 15);  // |product| < 2^30

    Butterflies(samples);

    // 3. Split pass: turn the M-point complex spectrum into that of the N real
    //    samples. Points are still in bit-reversed order, hence the lookups.
    for (int i = 1, j = m - 1; i <= j; ++i, --j)
        Split(samples, i, j);

    // 4. DC; the Nyquist term that shares point 0 is dropped.
    samples[0] = Store16(samples[0] + samples[1]);
    samples[1] = 0;

    // 5. Magnitudes in natural bin order.
    for (int k = 0; k < m; ++k)
        out[k] = Magnitude(Power(samples + reverse[k]));
}

void FFT::RunBand(const short* samples, short* work, int* out, int first, int last)
{
    Transform(samples, work);
    FormBins(work, out, first, last);
}

void FFT::Transform(const short* samples, short* work) const
{
    int t = 0;
#if defined(__SSE2__)
    // (x * w) >> 15 keeps bits 15..30 of the product: the high half shifted up, the low half's top bit.
    for (; t + 8 <= points; t += 8) {
        const __m128i x = Load(samples + t), w = Load(window.get() + t);
        Store(work + t,
              _mm_or_si128(_mm_slli_epi16(_mm_mulhi_epi16(x, w), 1), _mm_srli_epi16(_mm_mullo_epi16(x, w), 15)));
    }
#endif
    for (; t < points; ++t)
        work[t] = Store16((samples[t] * window[t]) >> 15);
    FastButterflies(work);
}

void FFT::FormBins(short* work, int* out, int first, int last, bool mirrors) const
{
    // Split pair i gives bins i and N/2-i; pairs do not share points, so the others can be left out.
    for (int k = first; k <= last; ++k) {
        Split(work, k, points / 2 - k);
        out[k] = Magnitude(Power(work + reverse[k]));
        if (mirrors)
            out[points / 2 - k] = Magnitude(Power(work + reverse[points / 2 - k]));
    }
}

// 2. Complex FFT on the M points, each stage halved. Group g of a stage uses
//    twiddle g, so the tables are stored in bit-reversed order.
void FFT::Butterflies(short* x) const
{
    const int m = points / 2;
    for (int span = points / 4; span > 0; span >>= 1) {
        for (int g = 0, base = 0; base < m; ++g, base += 2 * span) {
            const std::int64_t s = sinTable[g], c = cosTable[g];
            for (int j = 0; j < span; ++j) {
                short* a = x + 2 * (base + j);
                short* b = x + 2 * (base + span + j);
                const std::int32_t y1 = Wrap32(b[0] * c + b[1] * s) >> 15;
                const std::int32_t y2 = Wrap32(b[0] * s - b[1] * c) >> 15;
                b[0] = Store16((a[0] + y1) >> 1);
                a[0] = Store16(b[0] - y1);
                b[1] = Store16((a[1] - y2) >> 1);
                a[1] = Store16(b[1] + y2);
            }
        }
    }
}

// The butterflies of Butterflies, vectorised where the processor allows.
void FFT::FastButterflies(short* x) const
{
#if defined(__SSE2__)
    const int m = points / 2;
    if (m < 8)
        return Butterflies(x);
    if (wide)
        return WideButterflies(x, points, cosTable.get(), sinTable.get());
    for (int span = points / 4; span >= 4; span >>= 1)
        for (int g = 0, base = 0; base < m; ++g, base += 2 * span) {
            const Twiddles t = MakeTwiddles(_mm_set1_epi16(cosTable[g]), _mm_set1_epi16(sinTable[g]));
            for (int j = 0; j < span; j += 4) {
                short* pa = x + 2 * (base + j);
                short* pb = x + 2 * (base + span + j);
                __m128i a = Load(pa), b = Load(pb);
                Butterfly4(a, b, t);
                Store(pa, a), Store(pb, b);
            }
        }
    // Span 2: two groups (A A B B each) per step, twiddles g g g+1 g+1.
    for (int g = 0; g < m / 4; g += 2) {
        short* p = x + 8 * g;
        const __m128i v0 = Load(p), v1 = Load(p + 8);
        __m128i a = _mm_unpacklo_epi64(v0, v1), b = _mm_unpackhi_epi64(v0, v1);
        Butterfly4(a, b, MakeTwiddles(PairEach(cosTable.get() + g), PairEach(sinTable.get() + g)));
        Store(p, _mm_unpacklo_epi64(a, b)), Store(p + 8, _mm_unpackhi_epi64(a, b));
    }
    // Span 1: four groups (A B each) per step, twiddles g..g+3.
    for (int g = 0; g < m / 2; g += 4) {
        short* p = x + 4 * g;
        const __m128 v0 = _mm_castsi128_ps(Load(p)), v1 = _mm_castsi128_ps(Load(p + 8));
        __m128i a = _mm_castps_si128(_mm_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0)));
        __m128i b = _mm_castps_si128(_mm_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1)));
        Butterfly4(a, b,
                   MakeTwiddles(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cosTable.get() + g)),
                                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(sinTable.get() + g))));
        Store(p, _mm_unpacklo_epi32(a, b)), Store(p + 8, _mm_unpackhi_epi32(a, b));
    }
#else
    Butterflies(x);
#endif
}

// One pair (i, j = M - i) of the split pass.
void FFT::Split(short* x, int i, int j) const
{
    short* a = x + reverse[i];
    short* b = x + reverse[j];
    const std::int64_t s = sinTable[reverse[i] / 2], c = cosTable[reverse[i] / 2];
    const std::int32_t hrMinus = a[0] - b[0];
    const std::int32_t hrPlus = a[0] + b[0];
    const std::int32_t hiMinus = a[1] - b[1];
    const std::int32_t hiPlus = a[1] + b[1];
    const std::int32_t t1 = Wrap32(s * hrMinus - c * hiPlus) >> 15;
    const std::int32_t t2 = Wrap32(c * hrMinus + s * hiPlus) >> 15;
    // When i == j, a and b are one point: each line reads what the last stored.
    a[0] = Store16((hrPlus + t1) >> 1);
    b[0] = Store16(a[0] - t1);
    a[1] = Store16((hiMinus + t2) >> 1);
    b[1] = Store16(a[1] - hiMinus);
}
