// Fixed-point helpers of the analyser and the classifier (internal to the library).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>

// 32-bit two's complement wrap of a wider result (modular since C++20): real
// spectra never come near the limit, but the arithmetic is defined for any input.
constexpr std::int32_t Wrap32(std::int64_t v)
{
    return static_cast<std::int32_t>(v);
}

// Newton's integer square root of p from the estimate r > 0, stopping when the
// new estimate is within 1 of the quotient just formed.
inline std::int32_t NewtonRoot(std::int32_t p, std::int32_t r)
{
    std::int32_t q;
    do {
        q = p / r;
        r = (r + q) >> 1;
    } while (std::abs(r - q) > 1);
    return r;
}

// What NewtonRoot(p, start) returns, for any start > 0 and 0 <= p < 2^31,
// without iterating. With s = floor(sqrt(p)): every step gives
// floor((r + p/r) / 2) >= s (the mean of r and p/r), so the result is at least s.
// A result s+1 needs a final quotient q in s..s+2 and a previous estimate r with
// r + q >= 2s+2; each such pair makes p >= r*q >= s^2 + 2s, so p = (s+1)^2 - 1.
// A result R > s+1 would need q >= R-1 and r >= R-1, so p >= (s+1)^2. Hence only
// for p = (s+1)^2 - 1 is the iteration run; p = 0 (silence) only halves the
// estimate until it reaches 1. (A double holds sqrt(p) for p < 2^31 closely
// enough that truncating it gives s.)
inline std::int32_t FastRoot(std::int32_t p, std::int32_t start)
{
    if (p == 0)
        return start > 1 ? 1 : 0;
    const auto s = static_cast<std::int64_t>(std::sqrt(static_cast<double>(p)));
    return s * s + 2 * s == p ? NewtonRoot(p, start) : static_cast<std::int32_t>(s);
}
