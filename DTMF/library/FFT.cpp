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
#include <new>
#include <stdexcept>

#include "SquareRoot.h"

namespace {

// The tables' 2*pi: the value is part of the table contents, so exact 2*pi is not used.
constexpr double kTwoPi = 6.283185307;

// 32-bit two's complement wrap of a wider result (modular since C++20).
constexpr std::int32_t Wrap32(std::int64_t v)
{
    return static_cast<std::int32_t>(v);
}
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

}  // namespace

FFT::FFT(int size) : points(size)
{
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
    for (int t = 0; t < points; ++t)
        work[t] = Store16((samples[t] * window[t]) >> 15);
    Butterflies(work);
    // Split pair i gives bin i; pairs do not share points, so the others can be left out.
    for (int k = first; k <= last; ++k) {
        Split(work, k, points / 2 - k);
        out[k] = Magnitude(Power(work + reverse[k]));
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
